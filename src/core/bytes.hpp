// Views of caller-owned bytes. The engine never copies the caller's buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vesquor {

using ByteView = std::string_view;  // any bytes, NUL and 0x80..0xFF included

}  // namespace vesquor
