// A test fixture for the tests that drive the value model and the natives directly: a machine with
// its environment built (an empty program, the program root and its globals), bound to the test's
// thread for the test, its reports captured in `err`.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "vm/interpreter.h"
#include "vm/machine.h"

class onmachine : public ::testing::Test {
protected:
    std::ostringstream err;
    std::unique_ptr<T4VM::machine> owned;
    std::unique_ptr<T4VM::machinebinding> bound;

    void SetUp() override {
        owned = std::make_unique<T4VM::machine>();
        owned->err = &err;
        bound = std::make_unique<T4VM::machinebinding>(*owned);
        T4VM::codestack->push_back(T4VM::openedframe(T4VM::codeblock(std::vector<T4VM::byte>{})));
        T4VM::init();
    }

    void TearDown() override {
        bound.reset();
        owned.reset();
    }
};
