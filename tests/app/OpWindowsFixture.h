// A main window with documents for the operation-window tests; message boxes are recorded.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QMdiSubWindow>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <string>
#include <vector>

#include "fChild.h"
#include "fMain.h"
#include "image/ImaColor.h"

namespace orlu {

class OpWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    Main = std::make_unique<TFormMain>(Dir.filePath("config"));
    Main->MessageHook = [this](TMessageKind, const std::string& caption, const std::string& text) {
      Messages.push_back(caption + "|" + text);
    };
    Main->CloseQuestionHook = [](TAstroDocument&, bool) { return TCloseAnswer::DontSave; };
    Main->resize(1000, 700);
    Main->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Main.get()));
  }
  void TearDown() override { Main.reset(); }

  // A w × h float image shown in a new window (active afterwards).
  TAstroDocument& NewDoc(int32_t w = 40, int32_t h = 30) {
    auto doc = TAstroDocument::NewDocument(w, h, false, true);
    doc->Image().IsFloat = 1;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) doc->Image().SetAll(x, y, float(x + 100 * y));
    doc->RefreshStats();
    TFormChild* c = Main->ShowDocument(std::move(doc), 0, false);
    EXPECT_NE(c, nullptr);
    Main->Activate(*c);
    QApplication::processEvents();
    return c->Document();
  }

  void CloseDoc(TAstroDocument& doc) {
    auto* child = dynamic_cast<TFormChild*>(doc.ImageWindow());
    QPointer<QMdiSubWindow> sub = child->SubWindow();
    sub->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
  }

  std::string Path(const char* name) const { return Dir.filePath(name).toStdString(); }

  QTemporaryDir Dir;
  std::unique_ptr<TFormMain> Main;
  std::vector<std::string> Messages;
};

}  // namespace orlu
