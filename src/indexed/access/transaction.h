// The record operations' questions to the transaction log installed above
// the engine (IndexedLog, indexed/engine.h). Without a log every answer is
// no: no transaction is open, nothing is being undone, no lock is kept.
#pragma once

#include "storage/dorvex_file.h"

namespace kel::indexed {

bool in_transaction();
// Rolling back or recovering: changes pass the open-mode checks.
bool log_undoing();
// A changed record is to stay locked: inside a transaction on a file that
// takes part in transactions (opened with 0x4000), or when the log's
// locking setting asks for it.
bool keeps_change_locks(const DorvexFile *f);

}  // namespace kel::indexed
