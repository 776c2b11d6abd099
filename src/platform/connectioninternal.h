#pragma once

#include <QtGlobal>

// What connection.cpp and connectiontls.cpp share; not for use outside them.
namespace Tarnwick::ConnectionInternal {

// Read per visit at most, so that one fast peer cannot keep the others waiting.
constexpr qsizetype ReadCap = 1024 * 1024;

// Small writes leave at once instead of waiting for the peer's delayed acknowledgement.
void setNoDelay(int fd);

} // namespace Tarnwick::ConnectionInternal
