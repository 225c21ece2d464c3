// The console of a windowed program: a program without a console of its own
// attaches to the one of the process that started it (a shell) and writes
// to it, as a windowed program that is asked for its usage does.
//
// The stand-in's console of a process is its standard output and error
// (file descriptors 1 and 2). Thread-safe.
#pragma once

#include "platform/win/Handle.h"
#include "platform/win/Types.h"

constexpr DWORD ATTACH_PARENT_PROCESS = static_cast<DWORD>(-1);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);

// Attaches to the console of processId (only ATTACH_PARENT_PROCESS here):
// TRUE when the process has a standard output to write to; FALSE with
// ERROR_INVALID_HANDLE when it has none, ERROR_INVALID_PARAMETER for another
// process id.
BOOL AttachConsole(DWORD processId);
// The console's output or error handle; INVALID_HANDLE_VALUE for another
// kind.
HANDLE GetStdHandle(DWORD kind);
// Writes length characters of text (UTF-8 on the stand-in's console) to a
// handle of GetStdHandle. FALSE with ERROR_INVALID_HANDLE for another handle.
BOOL WriteConsoleW(HANDLE console, const void* text, DWORD length, DWORD* written, void* reserved);
