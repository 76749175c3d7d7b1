// Thread records: the one each thread sees in its reports, created on demand
// and released with the thread's local storage.
#include "runtime/thread_record.h"

namespace tavo {
namespace {

// Trivially destructible, so they stay readable while (and after) the
// thread's other locals are torn down.
constinit thread_local ThreadRecord* current_record = nullptr;
constinit thread_local bool torn_down = false;

// Owns the record that the thread created for itself; its destruction marks
// the end of the thread's local storage.
struct OwnedRecord {
  ThreadRecord* record = nullptr;
  ~OwnedRecord() {
    torn_down = true;
    if (current_record == record) {
      current_record = nullptr;
    }
    delete record;
  }
};

thread_local OwnedRecord owned;

void own(ThreadRecord* record) {
  ThreadRecord* previous = owned.record;
  owned.record = record;
  current_record = record;
  delete previous;
}

}  // namespace

ThreadRecord::ThreadRecord(std::string_view name) {
  name_with_nul_.reserve(name.size() + 1);
  name_with_nul_.append(name);
  name_with_nul_.push_back('\0');
}

std::optional<std::string_view> ThreadRecord::name() const {
  if (name_with_nul_.empty()) {
    return std::nullopt;
  }
  return std::string_view(name_with_nul_.data(), name_with_nul_.size() - 1);
}

ThreadRecord* current_thread_record() {
  if (torn_down) {
    return nullptr;
  }
  if (current_record == nullptr) {
    own(new ThreadRecord());
  }
  return current_record;
}

ThreadRecord* existing_thread_record(bool& available) {
  available = !torn_down;
  return available ? current_record : nullptr;
}

void set_current_thread_record(ThreadRecord& record) { current_record = &record; }

void name_current_thread(std::string_view name) {
  if (!torn_down) {
    own(new ThreadRecord(name));
  }
}

}  // namespace tavo
