// orlu-cli: the headless front end of Orlu for scripts, batch work and checks.
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const kUsage =
    "Usage: orlu-cli COMMAND [ARGS]\n"
    "\n"
    "Headless front end of Orlu, the astronomical image viewer and workbench.\n"
    "\n"
    "Options:\n"
    "  --help       show this text\n"
    "  --version    show the version\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string cmd = argv[1];
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cmd == "--version") {
    std::printf("orlu-cli %s\n", ORLU_VERSION);
    return 0;
  }
  std::fprintf(stderr, "orlu-cli: unknown command '%s' (see orlu-cli --help)\n", cmd.c_str());
  return 2;
}
