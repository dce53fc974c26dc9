#include "disk/DiskOperations.h"

#include "disk/Backup.h"
#include "disk/RawDisk.h"
#include "disk/Restore.h"
#include "disk/Transfer.h"

namespace fk {

namespace {

OpResult TransferResult(const OpContext& op, int rc, const char* failure) {
  if (op.Cancelled() || LastTransferReport().end == TransferEnd::Cancelled) return OpResult::Cancelled();
  return rc ? OpResult::Done() : OpResult::Failed(failure);
}

}  // namespace

OpResult BackupOperation(OpContext& op) { return TransferResult(op, BackUp(1), "The backup did not complete"); }

OpResult RestoreOperation(OpContext& op) { return TransferResult(op, Recover(1), "The restore did not complete"); }

OpResult EjectOperation(OpContext& op) {
  if (op.Cancelled()) return OpResult::Cancelled();
  return EjectDrive() ? OpResult::Done() : OpResult::Failed("The disk could not be ejected");
}

}  // namespace fk
