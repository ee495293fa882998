#pragma once

// Where an error was raised. While tracking is on, every C++ throw in the
// process records its call stack at the throw itself (the unwinding that
// follows destroys it), so a report made after the catch can still show it.
// Records sit in a small ring shared by all threads and are matched to a
// caught error by its exception object.

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

struct TorvThrowRecord
{
    std::chrono::system_clock::time_point Time;
    std::uintptr_t Address = 0;         // the return address of the throw, inside the thrower
    std::vector<std::uintptr_t> Frames; // return addresses, the thrower first
};

// Switches the recording on or off for the whole process.
void orvSetExceptionTracking(bool on) noexcept;
bool orvExceptionTracking() noexcept;

// The record of the throw that made error; nothing when tracking was off then,
// or the record has been pushed out of the ring by later throws.
std::optional<TorvThrowRecord> orvFindThrowRecord(const std::exception_ptr& error);

// The error's type as C++ spells it ("std::runtime_error", "int").
std::string orvExceptionClassName(const std::exception_ptr& error);
// what() of a std::exception; "Unknown error" for anything else.
std::string orvExceptionMessage(const std::exception_ptr& error);

// One resolved stack frame. Fields the debug information does not give stay empty or 0.
struct TorvStackFrame
{
    std::uintptr_t Address = 0;
    std::string Function;      // demangled
    std::uintptr_t Offset = 0; // from the function's start (or the module's when no function is known)
    std::string Module;        // the module's file name
    std::string File;          // the source file's name, without folders
    int Line = 0;
    int LineOffset = -1; // lines from the function's first line, -1 when unknown
};

// Resolves return addresses of this process through its modules' symbol tables
// and embedded debug information (elfutils' libdw; no separate debug files are
// looked up, and nothing is fetched from the network).
std::vector<TorvStackFrame> orvResolveStack(const std::vector<std::uintptr_t>& addresses);

// A frame as one report line, without the module's name or the address:
//   Function (Line 42, "file.cpp" + 3) + 0x1c
// A frame without a known function names its module instead.
std::string orvStackFrameText(const TorvStackFrame& frame);
