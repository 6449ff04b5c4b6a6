#include "update/image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hwaccess/fpga_io.h"
#include "update/asmi.h"
#include "update/asmi_regs.h"
#include "update/interrupt.h"
#include "update/settings.h"

// Where the FPGA finds the application image: its address, a constant and the
// address's complement.
static const uint32_t offset_record[] = {APP_IMAGE_BASE, 0x00000040, ~APP_IMAGE_BASE};
static const uint32_t OFFSET_RECORD_WORDS = sizeof offset_record / sizeof offset_record[0];

static const uint32_t IMAGE_BLOCK_SIZE = 256;

static uint8_t image_block[IMAGE_BLOCK_SIZE];

uint32_t image_sector_count(uint32_t length)
{
    return length / SECTOR_SIZE + (length % SECTOR_SIZE != 0 ? 1 : 0);
}

// FIFO words of a block of `bytes` bytes.
static uint32_t image_block_words(uint32_t bytes)
{
    return (bytes + 3) / 4;
}

// Word i of a block: block byte 4i in bits 7..0 up to byte 4i+3 in bits 31..24.
static uint32_t image_block_word(const uint8_t* block, uint32_t i)
{
    const uint8_t* b = block + 4 * i;
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// Bits of word i that carry file bytes; the rest of a final partial word is
// padding.
static uint32_t image_word_mask(uint32_t bytes, uint32_t i)
{
    if (bytes <= 4 * i)
        return 0;
    uint32_t tail = bytes - 4 * i;
    return tail >= 4 ? 0xFFFFFFFFu : (1u << (8 * tail)) - 1;
}

// Open the image and take its length. The application region ends where the
// offset sector starts; a longer image would run over the record and past the
// end of the flash. A pass is held to the length the sectors were erased for
// (`expected`, or any length when measuring): a file rewritten meanwhile
// would otherwise be programmed or verified only in part.
static const uint32_t IMAGE_ANY_LENGTH = 0xFFFFFFFFu;

static void image_size_changed(const char* path, uint32_t length, uint32_t expected)
{
    fprintf(stderr, "'%s' changed size since it was measured (%u != %u bytes)\n", path, length,
            expected);
}

static bool image_open(const char* path, uint32_t expected, FILE** file, uint32_t* length)
{
    // Opened without blocking and examined before anything is read: a FIFO
    // or a device is refused, never waited on.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || (*file = fdopen(fd, "rb")) == nullptr) {
        // The system's text for errno, as glibc's %m prints it, without the
        // extension (-Wpedantic).
        fprintf(stderr, "Unable to open '%s' [%s]\n", path, strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "'%s' is not a regular file\n", path);
        return false;
    }
    if (st.st_size > off_t(APP_REGION_SIZE)) {
        fprintf(stderr, "'%s' does not fit the application region (%lld > %u bytes)\n", path,
                (long long)st.st_size, APP_REGION_SIZE);
        return false;
    }
    if (expected != IMAGE_ANY_LENGTH && uint32_t(st.st_size) != expected) {
        image_size_changed(path, uint32_t(st.st_size), expected);
        return false;
    }
    *length = uint32_t(st.st_size);
    return true;
}

// Read the whole file once before anything is unlocked: a file whose
// content is not what its size says (a sysfs or proc file) or that cannot
// be read to its end would fail only after the erase.
static bool image_read_through(FILE* file, const char* path, uint32_t length)
{
    uint64_t total = 0;
    size_t n = 0;
    while (total <= length && (n = fread(image_block, 1, sizeof image_block, file)) > 0)
        total += n;
    if (ferror(file)) {
        fprintf(stderr, "Unable to read '%s' [%s]\n", path, strerror(errno));
        return false;
    }
    if (total != length) {
        fprintf(stderr, "'%s' does not hold the %u bytes its size says (read %llu)\n", path, length,
                (unsigned long long)total);
        return false;
    }
    return true;
}

bool image_length(const char* path, uint32_t* length)
{
    FILE* file = nullptr;
    bool measured = image_open(path, IMAGE_ANY_LENGTH, &file, length) && image_read_through(file, path, *length);
    if (file != nullptr)
        fclose(file);
    return measured;
}

static void image_progress(uint32_t position, uint32_t length)
{
    float done = float(position);
    float total = float(length);
    printf("\r%5.1f%%    ", length != 0 ? done * 100.0 / total : 100.0);
}

// Next block of the file into image_block; *bytes is 0 once `length` bytes
// have been read. Bytes past the end of a short block stay 0xFF: programmed as
// such they leave the flash erased there. A file that ends before `length`
// has been cut short since it was measured.
static bool image_read_block(FILE* file, const char* path, uint32_t length, uint32_t* bytes)
{
    uint32_t position = uint32_t(ftell(file));
    uint32_t wanted = length - position < IMAGE_BLOCK_SIZE ? length - position : IMAGE_BLOCK_SIZE;

    image_progress(position, length);
    memset(image_block, 0xFF, sizeof image_block);
    *bytes = uint32_t(fread(image_block, 1, wanted, file));
    if (ferror(file)) {
        console_log(LOG_ERR, "Error reading file!");
        return false;
    }
    if (*bytes < wanted) {
        image_size_changed(path, position + *bytes, length);
        return false;
    }
    return true;
}

// The write FIFO must be empty before a pass and before the offset record.
static bool wr_fifo_idle()
{
    uint32_t level = 0;
    if (!fpga_read_reg(ASMI_WR_FIFO_LEVEL, &level))
        return false;
    if (level != 0) {
        console_log(LOG_ERR, "Somethings wrong, FIFO level = %d", int(level));
        return false;
    }
    return true;
}

// Both FIFOs must be empty before the read-back.
static bool verify_fifos_idle()
{
    uint32_t level = 0;
    if (!fpga_read_reg(ASMI_WR_FIFO_LEVEL, &level))
        return false;
    if (level != 0) {
        console_log(LOG_ERR, "Somethings wrong, WR_FIFO level = %d", int(level));
        return false;
    }
    if (!fpga_read_reg(ASMI_RD_FIFO_LEVEL, &level))
        return false;
    if (level != 0) {
        console_log(LOG_ERR, "Somethings wrong, RD_FIFO level = %d", int(level));
        return false;
    }
    return true;
}

// Completion of a write command. A wait that runs out is a failure either way;
// the status tells whether the flash refused the write.
static bool asmi_write_wait(uint32_t address)
{
    uint32_t status = 0;
    if (fpga_readwait(ASMI_WAIT_WRITE, &status))
        return true;
    if (fpga_read_reg(ASMI_STATUS, &status) && (status & ASMI_STATUS_WRITE_ERR)) {
        console_log(LOG_ERR, "Write to addr 0x%08x FAILED!", address);
        fpga_write_reg(ASMI_STATUS, ASMI_STATUS_WRITE_ERR);
    }
    return false;
}

static bool image_write_block(uint32_t address, uint32_t bytes)
{
    uint32_t words = image_block_words(bytes);
    uint32_t level = 0;

    if (!fpga_write_reg(ASMI_ADDR, address) || !fpga_write_reg(ASMI_LENGTH, bytes))
        return false;
    for (uint32_t i = 0; i < words; ++i)
        if (!fpga_write_reg(ASMI_WR_FIFO, image_block_word(image_block, i)))
            return false;
    if (!fpga_read_reg(ASMI_WR_FIFO_LEVEL, &level))
        return false;
    if (level != words) {
        console_log(LOG_ERR, "FIFO level isn't correct! (%d != %d)", int(level), int(words));
        return false;
    }
    if (!fpga_write_reg(ASMI_CMD, ASMI_WRITE | ASMI_IMAGE_DATA) || !asmi_write_wait(address))
        return false;
    if (!fpga_read_reg(ASMI_WR_FIFO_LEVEL, &level))
        return false;
    if (level != 0)
        console_log(LOG_INFO, "0x%08x: FIFO level = %d (0x%x)", address, int(level), level);
    return true;
}

static bool image_program_blocks(FILE* file, const char* path, uint32_t length)
{
    uint32_t address = APP_IMAGE_BASE;
    uint32_t bytes = 0;

    while (image_read_block(file, path, length, &bytes)) {
        if (bytes == 0)
            return true;
        if (!image_write_block(address, bytes))
            return false;
        interrupt_point();
        address += bytes;
    }
    return false;
}

bool image_program(const char* path, uint32_t erased_length)
{
    FILE* file = nullptr;
    uint32_t length = 0;

    interrupt_phase(PHASE_PROGRAMMING);
    console_log(LOG_INFO, "Write to %u [0x%x] from file '%s'", APP_IMAGE_BASE, APP_IMAGE_BASE,
                path);
    bool programmed = wr_fifo_idle() && image_open(path, erased_length, &file, &length) &&
                      image_program_blocks(file, path, length);
    if (programmed)
        console_log(LOG_INFO, "Programming complete");
    if (file != nullptr)
        fclose(file);
    if (!programmed)
        console_log(LOG_DEBUG, "Unable to program the application image!");
    return programmed;
}

// Read one block back and compare it with image_block. Only the file's bytes
// are compared: the rest of a final partial word is padding.
static bool image_read_back(uint32_t address, uint32_t bytes)
{
    uint32_t words = image_block_words(bytes);
    uint32_t status = 0;
    uint32_t level = 0;

    if (!fpga_write_reg(ASMI_ADDR, address) || !fpga_write_reg(ASMI_LENGTH, bytes) ||
        !fpga_write_reg(ASMI_CMD, ASMI_READ | ASMI_IMAGE_DATA))
        return false;
    if (!fpga_readwait(ASMI_WAIT_DONE, &status)) {
        console_log(LOG_DEBUG, "fpga_readwait() failed!");
        return false;
    }
    if (!fpga_read_reg(ASMI_RD_FIFO_LEVEL, &level))
        return false;
    if (level != words)
        console_log(LOG_INFO, "0x%08x: FIFO level wrong: %d != %d", address, int(level),
                    int(words));
    for (uint32_t i = 0; i < words; ++i) {
        uint32_t flash_word = 0;
        if (!fpga_read_reg(ASMI_RD_FIFO, &flash_word))
            return false;
        uint32_t file_word = image_block_word(image_block, i);
        if ((flash_word ^ file_word) & image_word_mask(bytes, i)) {
            console_log(LOG_DEBUG, "Verification failure [0x%x != 0x%x]", flash_word, file_word);
            return false;
        }
    }
    return true;
}

static bool image_verify_blocks(FILE* file, const char* path, uint32_t length)
{
    uint32_t address = APP_IMAGE_BASE;
    uint32_t bytes = 0;

    while (image_read_block(file, path, length, &bytes)) {
        if (bytes == 0)
            return true;
        if (!image_read_back(address, bytes))
            return false;
        interrupt_point();
        address += bytes;
    }
    return false;
}

bool image_verify(const char* path, uint32_t erased_length)
{
    FILE* file = nullptr;
    uint32_t length = 0;

    interrupt_phase(PHASE_VERIFYING);
    console_log(LOG_INFO, "Verify from %u [0x%x] with file '%s'", APP_IMAGE_BASE, APP_IMAGE_BASE,
                path);
    bool verified = verify_fifos_idle() && image_open(path, erased_length, &file, &length) &&
                    image_verify_blocks(file, path, length);
    if (verified)
        console_log(LOG_INFO, "\nVerification complete");
    if (file != nullptr)
        fclose(file);
    // The controller's FIFOs and read state are reset after every
    // verification pass, whatever its outcome.
    asmi_clear_pulse();
    if (!verified)
        console_log(LOG_ERR, "Unable to verify the application image!");
    return verified;
}

// The record goes in as a plain write (no ASMI_IMAGE_DATA): it lies outside
// the application image.
static bool offset_record_program()
{
    uint32_t level = 0;

    if (update_verbose)
        console_log(LOG_INFO, "Write 0x%08x 0x%08x 0x%08x to %u [0x%x]", offset_record[0],
                    offset_record[1], offset_record[2], OFFSET_RECORD_ADDR, OFFSET_RECORD_ADDR);
    if (!wr_fifo_idle())
        return false;
    if (!fpga_write_reg(ASMI_ADDR, OFFSET_RECORD_ADDR) ||
        !fpga_write_reg(ASMI_LENGTH, OFFSET_RECORD_WORDS * 4))
        return false;
    for (uint32_t word : offset_record)
        if (!fpga_write_reg(ASMI_WR_FIFO, word))
            return false;
    if (!fpga_read_reg(ASMI_WR_FIFO_LEVEL, &level))
        return false;
    if (level != OFFSET_RECORD_WORDS) {
        console_log(LOG_ERR, "FIFO level isn't correct! (%d != 3)", int(level));
        return false;
    }
    if (update_verbose)
        console_log(LOG_DEBUG, "cmd_value | ASMI_WRITE = 0x%x", ASMI_WRITE);
    if (!fpga_write_reg(ASMI_CMD, ASMI_WRITE) || !asmi_write_wait(OFFSET_RECORD_ADDR))
        return false;
    if (update_verbose) {
        if (!fpga_read_reg(ASMI_WR_FIFO_LEVEL, &level))
            return false;
        console_log(LOG_INFO, "After write, FIFO level = %d (0x%x)", int(level), level);
    }
    return true;
}

bool offset_record_write()
{
    if (!offset_record_program()) {
        console_log(LOG_DEBUG, "Unable to program the offset value!");
        return false;
    }
    return true;
}
