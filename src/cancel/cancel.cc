#include "cancel/cancel.h"

namespace aurvane {

Status InstallCancellationSources(const CancelFlag& flag) {
  if (Status installed = InstallInterruptHandler(flag); !installed.ok()) return installed;
  StartStdinWatcher(flag);
  return Status::Ok();
}

}  // namespace aurvane
