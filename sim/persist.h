// The simulated device's state on disk, for tessaline-simd: a state
// directory that keeps the device's settings, received faxes and sent jobs
// across restarts.
//
// A state directory holds:
//
//   lock        locked (flock) by the daemon using the directory, so that two
//               daemons never write one state
//   manifest    the whole state but the bulk data, as text; replaced whole on
//               every save (written beside it, synced, renamed over it)
//   data/N.bin  fax images and sent jobs' data, one file per distinct content,
//               each written once (beside it, synced, renamed) before the
//               manifest that names it, and removed once no manifest does
//
// A crash at any moment therefore leaves the last manifest that was renamed
// into place, complete with every data file it names. Partial files and
// data files that no manifest names are removed at the next start.
//
// The manifest, one record per line, fields separated by one space. Text
// fields are percent-encoded (%XX for a space, a control byte, '%' and every
// byte above 0x7E); binary records are hexadecimal; numbers are decimal.
//
//   tessaline-simd-state 1
//   settings <616 hex digits: the 308-byte settings record as it travels>
//   fax name=<text> data=<file> length=<bytes> log=<160 hex digits>
//   removed name=<text>
//   next-fax number=<n>
//   job size=<announced> count=<RecipientCount> blocks=<n> data-ended=<0|1>
//       failed-block=<0|1> ended=<0|1> outcome=<Status> data=<file> length=<bytes>
//   to prefix=<text> number=<text>
//   end
//
// A job record is one line (broken above to fit); its recipients follow it
// as "to" lines. <file> is a name in data/, or "-" for no data. A "removed"
// line names a fax removed from the device; "next-fax" the number the next
// received fax is named after (a state without it starts from 1, passing
// over names in use). Every file is mode 0600.
#ifndef TESSALINE_SIM_PERSIST_H
#define TESSALINE_SIM_PERSIST_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/device_state.h"

namespace sim {

class StateStore {
public:
    StateStore() = default;
    ~StateStore();
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    // Creates the directory (with its parents) when missing and locks it.
    // False, with the reason in error(), when it cannot, or when another
    // process holds the lock.
    bool Open(const std::string& dir);
    // Reads the saved state. `found` is false, and `state` untouched, when
    // nothing was saved yet. False when the saved state is unreadable or
    // inconsistent; nothing is then removed or changed on disk.
    bool Load(PersistentState& state, bool& found);
    // Writes `state` as the new saved state. On failure the saved state is
    // the previous one, whole.
    bool Save(const PersistentState& state);

    const std::string& error() const { return error_; }

private:
    // A data file on disk and its content, kept so that content already
    // saved is never written again.
    struct Stored {
        std::string file;
        std::shared_ptr<const Bytes> data;
    };

    bool DataFileFor(const Bytes& data, std::vector<Stored>& next, std::string& file, bool& wrote);
    void RemoveUnreferenced();
    bool Fail(const std::string& what);

    std::string dir_;
    std::string data_dir_;
    int lock_fd_ = -1;
    std::uint64_t next_data_ = 1;
    std::vector<Stored> stored_;  // the data files the saved manifest names
    std::string error_;
};

}  // namespace sim

#endif
