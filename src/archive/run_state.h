// The state of one run of kel, in one object. The driver makes it at the
// start of the run and hands each layer its part by reference; each part
// holds references to the parts below it that its layer works with:
//
//   transfer    what the options asked for, the archive and its volume
//   interrupts  the signals caught during an input run
//   terminal    the operator's terminal (uses interrupts)
//   volume      the record and volume layer (uses transfer, terminal,
//               interrupts); it knows nothing of members
//   writer      the output run's lists (uses transfer, volume)
//   reader      the input run's lists (uses transfer, volume, terminal,
//               interrupts)
//
// Nothing of a run lives outside it, except the one pointer through which
// the signal handler reaches `interrupts` (fatal.cpp). The engine that the
// indexed seam routes to (indexed_io.cpp) is the build's choice, fixed for
// the process, not the run's state. A member being restored is not part of
// it either: the reader's function that restores it owns its clean-up, so
// a fatal stop removes it on the way out (PartialRestore, reader.cpp).
// The parts release what they hold when the object goes, at the end of the
// run whichever way it ends, so tests make a fresh one for every run they
// drive.
#pragma once

#include "archive/fatal.h"
#include "archive/operator.h"
#include "archive/reader.h"
#include "archive/transfer.h"
#include "archive/volume.h"
#include "archive/writer.h"

namespace kel::archive {

struct RunState {
  RunState() = default;
  RunState(const RunState &) = delete;
  RunState &operator=(const RunState &) = delete;

  TransferState transfer;
  Interrupts interrupts;
  OperatorState terminal{interrupts};
  VolumeState volume{transfer, terminal, interrupts};
  WriterState writer{transfer, volume};
  ReaderState reader{transfer, volume, terminal, interrupts};
};

}  // namespace kel::archive
