/*
 * A Windows host that receives the library's events as window messages
 * (wParam = a, lParam = b) instead of through a callback: search, connect to
 * the device found, read its information again, describe it, disconnect.
 * Each event drives the next step from the window procedure, as a GUI host
 * would do it. A message-only window serves, since nothing is shown.
 *
 * Run it against a simulated device: drova with-sim win32_host_example.exe
 */
#include <windows.h>

#include <stdio.h>

#include "Vevara_Rovo_dar.h"

enum { WM_VELKOR_EVENT = WM_APP + 1, GIVE_UP_TIMER = 1, GIVE_UP_MS = 20000 };

static int exit_status = 1;

static void finish(HWND window, int status) {
    exit_status = status;
    DestroyWindow(window);
}

static void on_velkor_event(HWND window, int a, int b) {
    printf("event (%d,%d)\n", a, b);
    if (a == VELKOR_EV_ERROR) {
        printf("  %s\n", _GetErrorString(b));
        return;
    }
    if (b != 0) {
        finish(window, 1);
        return;
    }
    switch (a) {
    case VELKOR_EV_CONNECT:
        _ReadInfo();
        break;
    case VELKOR_EV_READINFO: {
        char description[2048];
        _GetHintAboutDROVA(VELKOR_HINT_NAME | VELKOR_HINT_SERIAL_NUMBER | VELKOR_HINT_HW_VERSION, _GetConnectInfo(),
                           description, sizeof description);
        printf("%s", description);
        _Disconnect();
        break;
    }
    case VELKOR_EV_DISCONNECT:
        finish(window, 0);
        break;
    default:
        break;
    }
}

static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_VELKOR_EVENT:
        on_velkor_event(window, (int)wparam, (int)lparam);
        return 0;
    case WM_TIMER:
        printf("no answer within %d ms\n", GIVE_UP_MS);
        finish(window, 1);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

int main(void) {
    WNDCLASSA window_class = {0};
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = GetModuleHandleA(NULL);
    window_class.lpszClassName = "VelkorWin32HostExample";
    if (!RegisterClassA(&window_class)) return 1;
    HWND window = CreateWindowA(window_class.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                                window_class.hInstance, NULL);
    if (window == NULL) return 1;

    if (_Initialize(NULL, window, WM_VELKOR_EVENT) != 0) return 1;
    SetTimer(window, GIVE_UP_TIMER, GIVE_UP_MS, NULL);
    _FindDROVAs(0, 0, 100); /* connect to the device found */

    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    _Close();
    return exit_status;
}
