#include "scheduler/tables.h"

#include <string>
#include <unordered_set>
#include <utility>

namespace aurvane {

std::string_view StateName(TestState state) {
  switch (state) {
    case TestState::kPending:
      return "pending";
    case TestState::kReserved:
      return "reserved";
    case TestState::kRunning:
      return "running";
    case TestState::kCompleted:
      return "completed";
    case TestState::kInterrupted:
      return "interrupted";
  }
  assert(false && "unknown TestState");
  return "pending";
}

Status CheckIndices(const Manifest& manifest) {
  for (size_t i = 0; i < manifest.size(); ++i) {
    if (manifest[i].index != i) return Error{"Invalid collection indices"};
  }
  return Status::Ok();
}

Status CheckUniqueNodeIds(const Manifest& manifest) {
  struct Hash {
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  // Views into the manifest: the set is the only per-item allocation.
  std::unordered_set<std::string_view, Hash> seen;
  seen.reserve(manifest.size());
  for (const Item& item : manifest) {
    if (!seen.insert(item.nodeid).second) {
      return Error{"Duplicate node IDs are unsupported in this prototype"};
    }
  }
  return Status::Ok();
}

Status AcceptManifest(RunTables& tables, size_t worker_number, Manifest manifest,
                      std::string_view schedule_mode, const DurationHistory& history) {
  // Before any comparison: a manifest with bad indices is never compared.
  if (Status s = CheckIndices(manifest); !s.ok()) return s;
  if (tables.reference) {
    if (*tables.reference != manifest) {
      return Error{"Collection mismatch in av" + std::to_string(worker_number) +
                   "; worker manifests differ"};
    }
    return Status::Ok();
  }
  if (Status s = CheckUniqueNodeIds(manifest); !s.ok()) return s;
  tables.states.assign(manifest.size(), TestState::kPending);
  tables.attempts.assign(manifest.size(), 0);
  tables.schedule = Schedule::Build(manifest, schedule_mode, history);
  tables.reference = std::move(manifest);
  return Status::Ok();
}

}  // namespace aurvane
