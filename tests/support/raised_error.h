// The error an operation raises; a test failure when it raises none.
#pragma once

#include <gtest/gtest.h>

#include "runtime/error.h"

namespace varnholt::testing {

template <typename Operation>
Error RaisedError(Operation&& operation) {
    try {
        operation();
    } catch (const Error& error) {
        return error;
    }
    ADD_FAILURE() << "no error raised";
    return Error(0, "", "");
}

}  // namespace varnholt::testing
