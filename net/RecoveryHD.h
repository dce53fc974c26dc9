// Recovery HD packages and DMG files to HFS+ partition images (".hfs") that the
// partition restore writes onto a drive.
#pragma once

#include <string>

#include "app/Runner.h"
#include "app/Settings.h"

namespace fk {

// The package file in the work directory, and the unpacking script's name.
inline constexpr const char* kRecoveryPackageName = "RecoveryHD.pkg";
inline constexpr const char* kRecoveryScriptName = "Unpack_RecHDUpdate_pkg.sh";

// Downloads the record's package into a work directory, checks its SHA-1
// digest when the record has one, extracts the HFS+ image of its recovery
// system with the unpacking script and moves it into the image repository
// (setting FKLImageLocalRepo) as "<record name>.hfs" (never over an existing
// file). Shows the progress texts, the boxes and the summary. Run it as the
// RecoveryDownload operation of the runner; the result's message names the
// new image on success.
OpResult DLAndExtractHFSImageFromRecoveryHD(RecoveryHDSource& record);

// The download step: fetches the record's URL into packagePath through the
// shared transfer record; the outcome is in iRetVal (the engine's code) and
// the transfer record; failureText gets the reason shown for a failure. Returns 0.
int GetRecoveryHDThread(const RecoveryHDSource& record, const std::string& packagePath, int* iRetVal,
                        std::string* failureText);

// Asks for a DMG file and a target directory and extracts the DMG's HFS
// volume(s) there as "<DMG name>.hfs". Run it as the DmgExtract operation.
OpResult ExtractHFSFromDMG();

// The ExtractHFSFromDMG steps after the dialogs: 7-Zip extraction of the
// DMG's HFS partition(s) into a work directory and the move into targetDir.
OpResult ExtractHFSFromDMGFile(const std::string& dmg, const std::string& targetDir);

}  // namespace fk
