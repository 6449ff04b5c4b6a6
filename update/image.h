// Image programming and verification in the application region, and the
// offset record that makes the FPGA boot the application image.
#pragma once

#include <cstdint>

static const uint32_t IMAGE_BLOCK_SIZE = 256;

// Length of the image file; false (with a line on standard error) when it
// cannot be opened or measured, or does not fit the application region.
bool image_length(const char* path, uint32_t* length);

// Number of 64 KiB sectors an image of `length` bytes occupies.
uint32_t image_sector_count(uint32_t length);

// FIFO words of a block of `bytes` bytes, and word `i` of that block: block
// byte 4i in bits 7..0 up to byte 4i+3 in bits 31..24.
uint32_t image_block_words(uint32_t bytes);
uint32_t image_block_word(const uint8_t* block, uint32_t i);

// Bits of word `i` that carry file bytes in a block of `bytes` bytes; the rest
// of a final partial word is padding.
uint32_t image_word_mask(uint32_t bytes, uint32_t i);

bool image_program(const char* path);
bool image_verify(const char* path);
bool offset_record_write();
