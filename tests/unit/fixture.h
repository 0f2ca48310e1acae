// A started machine for tests that work below the instruction level: reset, output captured, one
// code frame, the program root on the scope stack and the call trace.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "vm/vm.h"

namespace t4test {

using T4VM::argmap;
using T4VM::byte;
using T4VM::typeident;
using T4VM::variable;

inline T4VM::codeframe framefrom(std::vector<byte> bytes) {
    return T4VM::codeframe{std::make_shared<const std::vector<byte>>(std::move(bytes)), 0};
}

inline std::string firstline(const std::string& text) { return text.substr(0, text.find('\n')); }

class machine : public ::testing::Test {
protected:
    std::ostringstream out;
    std::ostringstream err;

    void SetUp() override { start({}); }

    void TearDown() override {
        T4VM::resetmachine();
        T4VM::vmout = &std::cout;
        T4VM::vmerr = &std::cerr;
    }

    // Starts afresh with the given bytes as the program's only code frame.
    void start(std::vector<byte> image) {
        T4VM::resetmachine();
        T4VM::vmout = &out;
        T4VM::vmerr = &err;
        T4VM::codestack->push_back(framefrom(std::move(image)));
        T4VM::init();
    }

    // Runs an action that must stop the machine with a report, and returns everything the report
    // wrote. The frame and the root entry of the call trace that the report consumed are put back,
    // so a test can provoke several reports in a row.
    template <typename action>
    std::string report(action&& run) {
        err.str("");
        try {
            run();
        } catch (const T4VM::machinestop& stop) {
            EXPECT_EQ(stop.status, 1);
            T4VM::codestack->push_back(framefrom({}));
            T4VM::calltrace->push_back(T4VM::progroot);
            T4VM::datastack->clear();
            return err.str();
        }
        ADD_FAILURE() << "no error was reported";
        return "";
    }

    template <typename action>
    std::string reportline(action&& run) {
        return firstline(report(std::forward<action>(run)));
    }

    // Calls a native the way a call instruction does and returns what it pushed (null if nothing).
    variable* callnative(T4VM::mfuncptr native, variable* self, const argmap& args = {}) {
        const std::size_t before = T4VM::datastack->size();
        native(self, args);
        const std::size_t after = T4VM::datastack->size();
        if (after == before) return nullptr;
        EXPECT_EQ(after, before + 1) << "a native pushes at most one result";
        variable* result = T4VM::datastack->back();
        T4VM::datastack->pop_back();
        return result;
    }

    static variable* str(const std::string& text) { return T4VM::newstring(text); }
    static variable* num(std::int32_t value) { return T4VM::newint(value); }
    static variable* flt(float value) { return T4VM::newfloat(value); }

    static variable* listof(std::initializer_list<variable*> elements) {
        variable* list = T4VM::newlist();
        for (variable* element : elements) list->listval.push_back(element);
        return list;
    }

    // Keys keep the order of their creation, so build them left to right.
    static variable* dictof(std::initializer_list<std::pair<variable*, variable*>> entries) {
        variable* dict = T4VM::getallocvar("BUILTIN_DICT");
        dict->identifier = typeident::builtin_dict;
        for (auto [key, value] : entries) dict->dictval[key] = value;
        return dict;
    }

    static variable* instance() {
        variable* object = T4VM::getallocvar("");
        object->identifier = typeident::custom_class;
        return object;
    }
};

}  // namespace t4test
