// Prints the raw records the POSIX store reader makes of one "sessions" folder, as JSON on
// one line: what the registry walk under Wine is compared with.
#include <cstdio>

#include "putty/putty_store.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: putty_store_dump SESSIONS_DIR\n");
    return 2;
  }
  std::printf("%s\n", morvane::putty::read_session_dir(argv[1]).dump().c_str());
  return 0;
}
