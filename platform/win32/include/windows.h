// The Windows API subset that IOClassLib, the framework classes and keyprobe call,
// with the SDK's names, types, constants, layouts and signatures. Each area lives in
// its own header below win32/; this header pulls them all in, as the SDK's does.
#pragma once

#include "win32/types.h"
#include "win32/errors.h"
#include "win32/kernel32.h"
#include "win32/comm.h"
#include "win32/advapi32.h"
#include "win32/crt.h"
#include "win32/user32.h"
