// Backup, restore and eject as operations of the runner (app/Runner.h): each
// runs the designed job on the operation's thread and turns its end into the
// typed result.
#pragma once

#include "app/Runner.h"

namespace fk {

OpResult BackupOperation(OpContext& op);
OpResult RestoreOperation(OpContext& op);
OpResult EjectOperation(OpContext& op);

}  // namespace fk
