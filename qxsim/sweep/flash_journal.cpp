#include "qxsim/sweep/flash_journal.h"

#include "qxsim/model/camera/camera.h"
#include "qxsim/model/fpga/asmi_controller.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace qxsim {

namespace {

struct RecordHeader {
    uint64_t access;
    uint8_t kind;
    uint8_t status;
    uint16_t length;
    uint32_t addr;
};
static_assert(sizeof(RecordHeader) == 16, "journal record header");

// Lives as long as the process's camera (the interposer's never goes away).
class JournalWriter final : public FlashObserver {
public:
    JournalWriter(int fd, const uint64_t& accesses) : fd_(fd), accesses_(accesses) {}

    void page_programmed(uint32_t addr, const uint8_t* data, uint32_t len) override
    {
        put(FLASH_PROGRAM, 0, addr, data, len);
    }
    void sector_erased(uint32_t addr) override { put(FLASH_ERASE, 0, addr, nullptr, 0); }
    void status_written(uint8_t value) override { put(FLASH_STATUS, value, 0, nullptr, 0); }

private:
    void put(FlashChangeKind kind, uint8_t status, uint32_t addr, const uint8_t* data, uint32_t len)
    {
        // A page program carries at most a page; the controller never hands more.
        uint8_t record[sizeof(RecordHeader) + EPCQ_PAGE_SIZE];
        len = len < EPCQ_PAGE_SIZE ? len : EPCQ_PAGE_SIZE;
        RecordHeader h{accesses_, kind, status, static_cast<uint16_t>(len), addr};
        std::memcpy(record, &h, sizeof h);
        if (len)
            std::memcpy(record + sizeof h, data, len);
        if (::write(fd_, record, sizeof h + len) < 0) {
            // the sweep finds the journal short of the run and says so
        }
    }

    int fd_;
    const uint64_t& accesses_;
};

}  // namespace

bool attach_flash_journal(Camera& camera, const std::string& path, std::string* err)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *err = fmt::format("cannot open the flash journal {}: {}", path, std::strerror(errno));
        return false;
    }
    auto* writer = new JournalWriter(fd, camera.state().core.accesses);
    auto lock = camera.lock();
    camera.asmi().flash().set_observer(writer);
    return true;
}

bool read_flash_journal(const std::string& path, FlashJournal* journal, std::string* err)
{
    *journal = FlashJournal();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        *err = fmt::format("cannot open the flash journal {}: {}", path, std::strerror(errno));
        return false;
    }
    std::vector<uint8_t> file;
    uint8_t chunk[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            if (n < 0) {
                *err = fmt::format("cannot read the flash journal {}: {}", path, std::strerror(errno));
                return false;
            }
            break;
        }
        file.insert(file.end(), chunk, chunk + n);
    }
    for (size_t at = 0; at < file.size();) {
        RecordHeader h;
        if (file.size() - at < sizeof h) {
            *err = fmt::format("{}: torn record at byte {}", path, at);
            return false;
        }
        std::memcpy(&h, &file[at], sizeof h);
        at += sizeof h;
        FlashChange c;
        c.access = h.access;
        c.kind = static_cast<FlashChangeKind>(h.kind);
        c.addr = h.addr;
        switch (h.kind) {
        case FLASH_PROGRAM:
            if (file.size() - at < h.length || h.length > EPCQ_PAGE_SIZE) {
                *err = fmt::format("{}: torn page program at byte {}", path, at - sizeof h);
                return false;
            }
            c.length = h.length;
            c.ordinal = ++journal->programs;
            c.data = journal->bytes.size();
            journal->bytes.insert(journal->bytes.end(), file.begin() + static_cast<ptrdiff_t>(at),
                                  file.begin() + static_cast<ptrdiff_t>(at + h.length));
            at += h.length;
            break;
        case FLASH_ERASE:
            c.length = EPCQ_SECTOR_SIZE;
            c.ordinal = ++journal->erases;
            break;
        case FLASH_STATUS:
            c.status = h.status;
            ++journal->status_writes;
            break;
        default:
            *err = fmt::format("{}: unknown record kind 0x{:02x} at byte {}", path, h.kind, at - sizeof h);
            return false;
        }
        journal->changes.push_back(c);
    }
    return true;
}

}  // namespace qxsim
