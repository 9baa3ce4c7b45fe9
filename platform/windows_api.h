// The program's one view of the Windows API.
//
// On Windows these are the real headers. Everywhere else the program builds
// against an in-memory stand-in (standin.h) that declares the same names,
// types and constants, with their Windows values.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>
#include <aclapi.h>
#include <sddl.h>

#if !defined(_WIN64)
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA must be 28 bytes on 32-bit Windows");
#endif

#else

#include "platform/standin.h"

#endif
