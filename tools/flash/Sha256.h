#pragma once

// SHA-256 of a byte string, as 64 lower-case hex digits: the image's fingerprint in the job log.

#include <string>
#include <string_view>

std::string Sha256Hex(std::string_view Data);
