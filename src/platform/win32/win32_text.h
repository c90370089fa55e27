// Text at the Windows API boundary: the program's UTF-8 against the system's UTF-16.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnholt::platform {

// The UTF-16 form of UTF-8 text; nothing when the bytes are not valid UTF-8. Refused, not
// replaced as AppendUtf16Le does: a path or registry name, altered, would name something else.
std::optional<std::wstring> Widen(std::string_view utf8);

// The UTF-8 form of UTF-16 text; unpaired surrogates become U+FFFD.
std::string Narrow(std::wstring_view utf16);

// The system's own description of an error code (a Win32 error or an HRESULT), without the
// trailing line break; empty when the system has none.
std::string SystemMessage(std::uint32_t code);

}  // namespace varnholt::platform
