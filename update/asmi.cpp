#include "update/asmi.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "hwaccess/fpga_io.h"
#include "update/asmi_regs.h"
#include "update/interrupt.h"
#include "update/settings.h"

struct asmi_device {
    uint8_t id;
    const char* name;
    bool supported;
};

static const asmi_device asmi_devices[] = {
    {EPCQL256_ID, "EPCQ-L256", false},
    {EPCQL512_ID, "EPCQ-L512", false},
    {EPCQL1024_ID, "EPCQ-L1024", true},
};

static const char asmi_spinner[] = "-\\|/";

// A signal held off until the operation ends does not cut the pause short.
static void asmi_sleep(long nanoseconds)
{
    struct timespec pause = {0, nanoseconds};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

bool fpga_readwait(uint32_t mask, uint32_t* status)
{
    uint32_t value = 0;
    for (int polls = 0; polls < ASMI_POLL_LIMIT;) {
        if (!fpga_read_reg(ASMI_STATUS, &value))
            return false;
        // The controller may still update the word as busy drops; hand back
        // a reading taken after the idle one.
        if ((value & mask) == 0)
            return fpga_read_reg(ASMI_STATUS, status);
        asmi_sleep(ASMI_POLL_SLEEP_NS);
        ++polls;
    }
    return false;
}

bool asmi_identify(uint32_t* status)
{
    uint32_t scratch = 0;

    if (update_verbose)
        console_log(LOG_INFO, "Enable 4-byte mode");
    if (!fpga_write_reg(ASMI_CMD, ASMI_4BYTE_MODE) || !fpga_readwait(ASMI_WAIT_DONE, &scratch))
        return false;
    return fpga_write_reg(ASMI_CMD, ASMI_READ_ID) && fpga_readwait(ASMI_WAIT_DONE, status);
}

static const asmi_device* asmi_device_of(uint32_t status)
{
    uint8_t id = (status >> ASMI_STATUS_ID_SHIFT) & ASMI_STATUS_ID_MASK;
    for (const asmi_device& device : asmi_devices)
        if (device.id == id)
            return &device;
    return nullptr;
}

static void asmi_print_device(const asmi_device& device)
{
    console_log(LOG_INFO, "    %s", device.name);
    if (!device.supported)
        console_log(LOG_INFO, "    not supported.");
}

bool asmi_check_id(uint32_t status)
{
    uint8_t id = (status >> ASMI_STATUS_ID_SHIFT) & ASMI_STATUS_ID_MASK;

    console_log(LOG_INFO, "ID: 0x%02X (0x%08X)", id, status);
    const asmi_device* device = asmi_device_of(status);
    if (device == nullptr) {
        console_log(LOG_INFO, "    %s", "<unknown>");
        return false;
    }
    asmi_print_device(*device);
    return device->supported;
}

// The offset record lies at the top of the EPCQ-L1024: on a smaller part it
// would land beyond the end of the array, and the update would report
// success for a camera that boots its factory image.
bool asmi_check_size(uint32_t status)
{
    const asmi_device* device = asmi_device_of(status);
    if (device == nullptr || device->supported)
        return true;
    asmi_print_device(*device);
    return false;
}

void asmi_clear_pulse()
{
    fpga_write_reg(ASMI_CMD, ASMI_CLEAR);
    fpga_write_reg(ASMI_CMD, 0);
}

static bool asmi_fifo_levels(uint32_t* write_level, uint32_t* read_level)
{
    return fpga_read_reg(ASMI_WR_FIFO_LEVEL, write_level) && fpga_read_reg(ASMI_RD_FIFO_LEVEL, read_level);
}

bool asmi_fifos_empty()
{
    uint32_t write_level = 0;
    uint32_t read_level = 0;
    if (!asmi_fifo_levels(&write_level, &read_level))
        return false;
    if (write_level == 0 && read_level == 0)
        return true;
    console_log(LOG_WARNING, "FIFOs not empty (write %u, read %u words): clearing them", write_level, read_level);
    asmi_clear_pulse();
    if (!asmi_fifo_levels(&write_level, &read_level))
        return false;
    if (write_level == 0 && read_level == 0)
        return true;
    console_log(LOG_ERR, "FIFOs still not empty (write %u, read %u words): nothing unlocked", write_level,
                read_level);
    return false;
}

bool asmi_write_protect(uint32_t code)
{
    uint32_t status = 0;

    if (update_verbose)
        console_log(LOG_INFO, "Writing protect code: 0x%X", code);
    if (!fpga_write_reg(ASMI_PROTECT_CODE, code) || !fpga_write_reg(ASMI_CMD, ASMI_PROTECT))
        return false;
    if (!fpga_readwait(ASMI_WAIT_DONE, &status))
        return false;
    if (update_verbose)
        console_log(LOG_INFO, "Protect complete [0x%08X]", status);
    return true;
}

enum asmi_erase_result {
    ERASE_DONE,
    ERASE_FAILED,   // the erase error bit was seen
    ERASE_UNSEEN,   // the status could not be read: nothing says the sector was erased
    ERASE_TIMEOUT,
};

// Wait for one sector erase. Each cycle is a full status wait, then a direct
// reading to tell an erase error from a slow erase. A sector whose end could
// not be seen (status unreadable) is not taken as erased.
static asmi_erase_result asmi_erase_wait(uint32_t* status)
{
    for (int cycle = 1; cycle <= ASMI_ERASE_CYCLES; ++cycle) {
        if (fpga_readwait(ASMI_WAIT_ERASE, status))
            return (*status & ASMI_STATUS_ERASE_ERR) ? ERASE_FAILED : ERASE_DONE;
        if (!fpga_read_reg(ASMI_STATUS, status))
            return ERASE_UNSEEN;
        if (update_verbose)
            console_log(LOG_INFO, "STATUS = 0x%08x", *status);
        if (*status & ASMI_STATUS_ERASE_ERR)
            return ERASE_FAILED;
        asmi_sleep(ASMI_ERASE_SLEEP_NS);
    }
    if (update_verbose)
        console_log(LOG_DEBUG, "Waiting for the sector erase took too long!");
    return ERASE_TIMEOUT;
}

bool asmi_sector_erase(uint32_t address, uint32_t count)
{
    // Shown as the completion status when no sector needed erasing.
    uint32_t status = 0;

    if (!update_verbose)
        console_log(LOG_DEBUG, "Erase 0x%08x...", address);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t sector = address + i * SECTOR_SIZE;

        printf("\r%c", asmi_spinner[i % 4]);
        fflush(stdout);
        if (update_verbose)
            console_log(LOG_INFO, "Erasing sector at address 0x%08x", sector);
        if (!fpga_write_reg(ASMI_ADDR, sector) || !fpga_write_reg(ASMI_CMD, ASMI_SECTOR_ERASE))
            return false;

        asmi_erase_result result = asmi_erase_wait(&status);
        if (result == ERASE_TIMEOUT)
            return false;
        if (result != ERASE_DONE) {
            console_log(LOG_ERR, "Sector erase at addr 0x%08x FAILED!", sector);
            // Only an error bit that was seen is cleared.
            if (result == ERASE_FAILED)
                fpga_write_reg(ASMI_STATUS, ASMI_STATUS_ERASE_ERR);
            return false;
        }
        interrupt_point();
    }
    console_log(LOG_INFO, "Erasing complete [0x%08X]", status);
    return true;
}
