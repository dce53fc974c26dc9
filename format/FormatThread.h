// The main operation: turns the selected disk into a bootable drive.
#pragma once

namespace fk {

// Runs one format run on the calling thread (the GUI starts it on a worker,
// the CLI calls it directly). InstallFull 1 installs the data set. Talks to the
// user only through GetUi(). Returns 1 when the run ended with "All done",
// 0 when it was refused, cancelled or failed.
int FormatThread(int InstallFull);

// InstallFull as the Format button chooses it from the settings.
int InstallFullForSettings();

}  // namespace fk
