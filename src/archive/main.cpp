// kel: the file transfer utility for the data files of a COBOL runtime.
#include "archive/driver.h"

int main(int argc, char **argv) {
  return kel::archive::kel_main(argc, argv);
}
