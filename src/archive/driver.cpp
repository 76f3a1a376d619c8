#include "archive/driver.h"

#include <cstdio>

namespace kel::archive {

int kel_main(int argc, char **argv) {
  (void)argc;
  (void)argv;
  fputs("kel: not yet built\n", stderr);
  return 1;
}

}  // namespace kel::archive
