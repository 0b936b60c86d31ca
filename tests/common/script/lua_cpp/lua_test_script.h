#pragma once

// Runs chunks on a LuaState for the tests and reads their results and
// printed output. Fixtures inherit it and attach their state.

#include <gtest/gtest.h>

#include <string>

#include "common/script/lua_cpp/lua_cpp.h"

class LuaScript {
public:
    explicit LuaScript(LuaState* s = 0) : _s(s) {}

    void Attach(LuaState* s) { _s = s; }

    // Runs a chunk; the stack is emptied afterwards.
    int Exec(const std::string& code)
    {
        const int status = _s->DoString(code.c_str());
        lua_settop(_s->GetState(), 0);
        return status;
    }

    // The text of the first value of "return <expr>".
    std::string Eval(const std::string& expr)
    {
        lua_State* L = _s->GetState();
        const std::string code = "return " + expr;
        EXPECT_EQ(0, _s->DoString(code.c_str())) << expr << ": " << LuaValueText(L, -1);
        const std::string s = lua_gettop(L) > 0 ? LuaValueText(L, 1) : std::string("(no result)");
        lua_settop(L, 0);
        return s;
    }

    // Runs a chunk and returns what it printed.
    std::string Printed(const std::string& code, int* status = 0)
    {
        testing::internal::CaptureStdout();
        const int st = Exec(code);
        if (status != 0)
            *status = st;
        return testing::internal::GetCapturedStdout();
    }

private:
    LuaState* _s;
};
