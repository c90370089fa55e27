// The error an operation raises; a test failure when it raises none.
#pragma once

#include <gtest/gtest.h>

#include <string_view>
#include <utility>

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

// The same, and a test failure unless the error names source as where it was raised.
template <typename Operation>
Error RaisedError(std::string_view source, Operation&& operation) {
    Error error = RaisedError(std::forward<Operation>(operation));
    EXPECT_EQ(error.source(), source);
    return error;
}

}  // namespace varnholt::testing
