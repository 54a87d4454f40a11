// UTF-16 <-> UTF-8 at the edge of the POSIX backend, where the OS wants bytes.
#pragma once

#include <string>

#include "platform/types.h"

namespace plat {
namespace posix {

// UTF-8 copy of a terminated UTF-16 text; empty for nullptr.
std::string ToUtf8(const WChar* text);
// Writes the UTF-16 form of text into buf with its terminator; returns the
// units written without the terminator, 0 when it does not fit or is empty.
uint32_t ToWide(const std::string& text, WChar* buf, uint32_t cap);

} // namespace posix
} // namespace plat
