// Image programming and verification in the application region, and the
// offset record that makes the FPGA boot the application image.
#pragma once

#include <cstdint>

// Length of the image file; false (with a line on standard error) when it
// cannot be opened or measured, or does not fit the application region.
bool image_length(const char* path, uint32_t* length);

// Number of 64 KiB sectors an image of `length` bytes occupies.
uint32_t image_sector_count(uint32_t length);

// Both passes are held to the length the sectors were erased for.
bool image_program(const char* path, uint32_t erased_length);
bool image_verify(const char* path, uint32_t erased_length);
bool offset_record_write();
