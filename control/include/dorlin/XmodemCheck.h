// The block checks of XMODEM, shared by the link control's transfer engines and the
// simulated reader.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dorlin/Rnet.h" // DORLIN_EXPORT

namespace xmodem {

// CRC-16 of XMODEM-CRC (polynomial 0x1021, initial 0, most significant bit first).
DORLIN_EXPORT uint16_t Crc16(const uint8_t* data, size_t n);
// 8-bit sum of the bytes.
DORLIN_EXPORT uint8_t Sum8(const uint8_t* data, size_t n);

inline uint16_t Crc16(std::string_view data) {
    return Crc16(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}
inline uint8_t Sum8(std::string_view data) {
    return Sum8(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

} // namespace xmodem
