// Partition backup: copies the partition selected in the "Destination Disk"
// tree, raw and over its whole length, into an image file the user names.
#pragma once

#include "disk/Transfer.h"

namespace fk {

// The worker thread of the Backup button. arg is not read. Talks to the user
// only through GetUi() (file dialog, questions, status line). Returns 1 when
// the copy loop was reached and finished (also when cancelled), else 0.
// Options (default folder) come from GetTransferOptions(); the outcome is in
// LastTransferReport() afterwards.
int BackUp(int arg = 0);

}  // namespace fk
