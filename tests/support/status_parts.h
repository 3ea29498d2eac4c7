#pragma once

#include "failure.h"

namespace kestavo::testing {

// 0 and an empty text for success, so that a comparison names the failure.
inline int codeOf(const Status &status)
{
    return status.ok() ? 0 : status.failure().code;
}

inline QString textOf(const Status &status)
{
    return status.ok() ? QString() : status.failure().text;
}

} // namespace kestavo::testing
