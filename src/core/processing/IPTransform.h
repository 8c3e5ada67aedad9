// The geometric steps of the Image menu as operations of the filter framework: flips, field
// rows, X/Y average and median, shift, rotations, fill, resize, binning, crop, borders,
// distortion removal and the flip dialog. Steps that change the size read the undo copy
// (or a copy taken at the start) and write the resized document image; mask, world
// coordinates and annotations follow the pixels.
#pragma once

namespace orlu {

class TFilterRegistry;

// Codes and parameters:
//  31, 32 flips; 33 swap rows; 43..46 X/Y average/median over p1..p2; 47 shift (p1, p2);
//  56 rotate by p1° about (p2, p3) (−1, −1: the centre); 59 fill (p1 value, p2 noise,
//  p3 mode + 1, p4..p7 rectangle, p8 outside); 73 resize (p1 × p2, p3 method + 1, p4 Lanczos
//  kernel, p5 clamp); 74 binning (p1 factor, 1 = 1.5; p2 average); 75 crop (p1, p2)-(p3, p4);
//  81 rotate by p1° counter-clockwise (±90 quarter turns, 180 both flips, else the bounding
//  box); 96 border (p1 left, p2 right, p3 top, p4 bottom, p5 value, p6 mode 0 cut, 1 add,
//  2 overwrite); 105 correct distortions; 106 the flip dialog.
void RegisterTransformOperations(TFilterRegistry& registry);

}  // namespace orlu
