// The main operation: turns the selected disk into a bootable drive.
#pragma once

#include "app/Runner.h"

namespace fk {

// One format run as an operation of the runner, on the operation's thread
// with its settings copy. installFull 1 installs the data set. Talks to the
// user only through GetUi(). Done when the run ended with "All done";
// Cancelled when the user cancelled or did not confirm; else Failed.
OpResult FormatOperation(OpContext& op, int installFull);

// The search of the local repository for Clover archives (FindCloverLocalDistr).
OpResult LocalArchiveSearchOperation(OpContext& op);

// InstallFull as the Format button chooses it from the settings.
int InstallFullForSettings();

}  // namespace fk
