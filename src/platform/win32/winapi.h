// The Windows names the player is written against: on Windows, the system's own.
#pragma once

// Declare the multimedia functions as plain functions instead of DLL imports.
// The import library provides the plain symbol as well, so the program is the
// same, and a test program can link a recording stand-in of mciSendCommandA
// in place of winmm's.
#ifndef _WINMM_
#define _WINMM_
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// The multimedia declarations build on the types windows.h defines, so they
// stay after it.
#include <mmsystem.h>
