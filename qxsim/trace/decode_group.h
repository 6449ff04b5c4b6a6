// What the trace decoder's parts share: a group of trace records that
// becomes one decoded entry, the open groups another issuer's write would
// spoil, each issuer's state, and the labels of registers and polls.
#pragma once

#include "qxsim/trace/trace_format.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace qxsim {

// Who issued an access: its process, except that proc-file lines all count
// as one issuer (each comes from a shell of its own; biasset's I2C write is
// three shells).
constexpr int64_t PROC_ISSUER = -1;

inline int64_t issuer_of(const TraceRecord& rec)
{
    return rec.kind == TRACE_PROC ? PROC_ISSUER : rec.pid;
}

struct Group {
    bool open = false;
    int64_t issuer = 0;
    int32_t pid = 0;  // of the first access
    uint64_t t0 = 0, t1 = 0;
    size_t first = 0, last = 0;  // record indexes
    uint32_t records = 0;
    bool failed = false;
    bool mixed = false;
    int32_t mixed_pid = 0;  // the first other process that wrote meanwhile
    uint32_t mixed_reg = 0;
    int32_t pids[3] = {};  // the proc issuer: the processes of its lines
    uint32_t pid_count = 0;
    std::string notes;  // failed accesses, power cut

    // On a freshly reset group.
    void start(int64_t who, const TraceRecord& rec, size_t index)
    {
        open = true;
        issuer = who;
        pid = rec.pid;
        t0 = rec.time_ns;
        first = index;
    }
    void add(const TraceRecord& rec, size_t index)
    {
        t1 = rec.time_ns;
        last = index;
        records++;
        if (pid_count == 0 || pids[(pid_count < 3 ? pid_count : 3) - 1] != rec.pid) {
            if (pid_count < 3)
                pids[pid_count] = rec.pid;
            pid_count++;
        }
    }
    void note(const std::string& text)
    {
        notes += "; ";
        notes += text;
    }
    void failed_access(const TraceRecord& rec);
    // " (proc lines of pid 11 12 13)" for the proc issuer, else "".
    std::string proc_pids() const;
};

// The open groups that have written a block's registers: a write by
// another issuer mixes each of them.
class Writers {
public:
    void add(Group* g) { groups_.push_back(g); }
    void forget(Group* g);
    void touch(int64_t issuer, const TraceRecord& rec)
    {
        for (Group* g : groups_)
            if (g->issuer != issuer && !g->mixed) {
                g->mixed = true;
                g->mixed_pid = rec.pid;
                g->mixed_reg = rec.reg;
            }
    }

private:
    std::vector<Group*> groups_;
};

// Where an analyser hands each group it finishes.
template <class G>
class GroupSink {
public:
    virtual void finished(G& group) = 0;

protected:
    ~GroupSink() = default;
};

// An analyser's state per issuer, made on first use; the issuer of the
// previous access is kept at hand (accesses come in runs of one process).
template <class T>
class ByIssuer {
public:
    T& get(int64_t key)
    {
        if (last_ && last_key_ == key)
            return *last_;
        auto it = map_.find(key);
        if (it == map_.end()) {
            order_.push_back(std::make_unique<T>());
            it = map_.emplace(key, order_.back().get()).first;
        }
        last_key_ = key;
        return *(last_ = it->second);
    }
    T* find(int64_t key)
    {
        auto it = map_.find(key);
        return it == map_.end() ? nullptr : it->second;
    }
    // In the order of their first access.
    const std::vector<std::unique_ptr<T>>& all() const { return order_; }

private:
    std::unordered_map<int64_t, T*> map_;
    std::vector<std::unique_ptr<T>> order_;
    T* last_ = nullptr;
    int64_t last_key_ = 0;
};

// A register by name, else by address, for the decoded lines' notes.
std::string reg_label(uint32_t reg);
// ", 3 busy polls"
std::string busy_polls(uint32_t n);

}  // namespace qxsim
