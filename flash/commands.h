// The command and status codes of the flash devices (Intel command set), named once for the
// whole driver.
#pragma once

#include <cstdint>

// Commands, written to every device of a bus word (flash_set_mode).
constexpr int FLASH_READ_ARRAY = 0xFF;
constexpr int FLASH_READ_IDENTIFIER = 0x90;
constexpr int FLASH_READ_QUERY = 0x98;
constexpr int FLASH_READ_STATUS = 0x70;
constexpr int FLASH_CLEAR_STATUS = 0x50;
constexpr int FLASH_BLOCK_ERASE = 0x20;
constexpr int FLASH_PROGRAM = 0x40;
constexpr int FLASH_WRITE_TO_BUFFER = 0xE8;
constexpr int FLASH_CONFIRM = 0xD0;            // confirms a block erase or a write buffer

// Status register bits.
constexpr uint8_t FLASH_STATUS_READY = 0x80;   // write state machine ready; alone, the only clean status
constexpr uint8_t FLASH_STATUS_ERASE_ERROR = 0x20;      // erase/clear block lock error
constexpr uint8_t FLASH_STATUS_PROGRAM_ERROR = 0x10;    // write/set block lock error
constexpr uint8_t FLASH_STATUS_VPP_LOW = 0x08;          // programming voltage low: write protected
constexpr uint8_t FLASH_STATUS_SUSPENDED = 0x04;        // write suspended
constexpr uint8_t FLASH_STATUS_BLOCK_LOCKED = 0x02;     // block locked
