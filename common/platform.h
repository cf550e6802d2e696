// The one header that brings in the platform: the real Windows and Winsock 1.1
// headers on Windows, our own stand-in from port/ everywhere else.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock.h>
#include <commctrl.h>
#include <mmsystem.h>
#else
#include "port/win32.h"
#endif
