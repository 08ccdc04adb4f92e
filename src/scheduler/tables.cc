#include "scheduler/tables.h"

#include <string>
#include <functional>
#include <string_view>
#include <utility>

namespace aurvane {

Status CheckIndices(const Manifest& manifest) {
  for (size_t i = 0; i < manifest.size(); ++i) {
    if (manifest[i].index != i) return Error{"Invalid collection indices"};
  }
  return Status::Ok();
}

Status CheckUniqueNodeIds(const Manifest& manifest) {
  // An open-addressing set of (hash, position + 1) pairs in one allocation:
  // a node-based set costs an allocation and a cache miss or two per test,
  // which made a million-test manifest forty times slower than 100,000.
  struct Slot {
    uint64_t hash;
    uint64_t position_plus_one;  // 0 marks an empty slot
  };
  size_t capacity = 16;
  while (capacity < manifest.size() * 2) capacity *= 2;
  std::vector<Slot> slots(capacity, Slot{0, 0});
  const size_t mask = capacity - 1;
  for (size_t i = 0; i < manifest.size(); ++i) {
    const std::string& nodeid = manifest[i].nodeid;
    const uint64_t hash = std::hash<std::string_view>{}(nodeid);
    for (size_t at = static_cast<size_t>(hash) & mask;; at = (at + 1) & mask) {
      Slot& slot = slots[at];
      if (slot.position_plus_one == 0) {
        slot = Slot{hash, i + 1};
        break;
      }
      if (slot.hash == hash && manifest[slot.position_plus_one - 1].nodeid == nodeid) {
        return Error{"Duplicate node IDs are unsupported in this prototype"};
      }
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
