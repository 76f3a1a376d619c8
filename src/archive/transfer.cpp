#include "archive/transfer.h"

namespace kel::archive {

namespace {
TransferState g_transfer;
}  // namespace

TransferState &transfer() {
  return g_transfer;
}

void reset_transfer() {
  g_transfer = TransferState{};
}

}  // namespace kel::archive
