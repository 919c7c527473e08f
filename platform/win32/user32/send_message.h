// A send with a bound on the wait, for user32's own broadcasts: one window whose thread has
// stopped taking messages must not hold up the others.
#pragma once

#include <windows.h>

#include <memory>

namespace win32 {

// Sends as SendMessageA does, but waits at most dwTimeoutMs (INFINITE: for good) for the
// window's thread to handle the message. A message still waiting then stays queued and is
// handled whenever the thread takes messages again; it holds keepAlive until then, so what
// lParam points into outlives the sender's wait. FALSE on a time-out (ERROR_TIMEOUT) or
// when the window or its thread has gone.
BOOL SendMessageWithin(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, DWORD dwTimeoutMs,
                       std::shared_ptr<const void> keepAlive, LRESULT* pResult);

}  // namespace win32
