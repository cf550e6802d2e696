// The POSIX stand-in for the Win32 and Winsock 1.1 subset that zemupgrade calls.
// Written from what the callers rely on; the names and meanings match the
// Windows build, the implementation lives in the other files of port/.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

// ---- basic types ------------------------------------------------------------
#define WINAPI
#define CALLBACK
#define APIENTRY

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef std::uint32_t DWORD;
typedef unsigned int UINT;
typedef int INT;
typedef long LONG;
typedef std::uintptr_t UINT_PTR;
typedef std::intptr_t INT_PTR;
typedef std::intptr_t LONG_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef void* LPVOID;
typedef void* HANDLE;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef DWORD* LPDWORD;

struct PortWindow;   // a dialog or one of its controls (port/dialogs.cpp)
struct PortModule;   // the executable's resources (port/resources.cpp)
struct PortResource; // one embedded resource
typedef PortWindow* HWND;
typedef PortModule* HINSTANCE;
typedef PortModule* HMODULE;
typedef const PortResource* HRSRC;
typedef const PortResource* HGLOBAL;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define MAKEWORD(lo, hi) ((WORD)(((BYTE)((lo) & 0xff)) | ((WORD)((BYTE)((hi) & 0xff))) << 8))
#define LOWORD(v) ((WORD)(((UINT_PTR)(v)) & 0xffff))
#define HIWORD(v) ((WORD)((((UINT_PTR)(v)) >> 16) & 0xffff))
#define MAKELONG(lo, hi) ((LONG)(((WORD)((lo) & 0xffff)) | ((DWORD)((WORD)((hi) & 0xffff))) << 16))
#define MAKEWPARAM(lo, hi) ((WPARAM)(DWORD)MAKELONG(lo, hi))
#define MAKELPARAM(lo, hi) ((LPARAM)(DWORD)MAKELONG(lo, hi))
#define MAKEINTRESOURCEA(i) ((LPCSTR)((UINT_PTR)((WORD)(i))))
#define IS_INTRESOURCE(p) ((((UINT_PTR)(p)) >> 16) == 0)

// ---- process, threads, time ----------------------------------------------
#define STILL_ACTIVE 259
#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258
#define INFINITE 0xFFFFFFFFu

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);

// Threads are detached POSIX threads; the handle stays valid for the life of
// the process and tells whether the routine has returned and what it returned.
HANDLE CreateThread(LPVOID security, std::size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD WaitForSingleObject(HANDLE thread, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
DWORD GetCurrentThreadId();

[[noreturn]] void ExitProcess(UINT exitCode);

void Sleep(DWORD milliseconds);
// Milliseconds since the process started (plus the test offset), 32 bits, wrapping.
DWORD timeGetTime();
UINT timeBeginPeriod(UINT period);
UINT timeEndPeriod(UINT period);

// ---- resources ---------------------------------------------------------------
#define RT_DIALOG MAKEINTRESOURCEA(5)
HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);
DWORD SizeofResource(HMODULE module, HRSRC resource);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL loaded);
// The module handle that WinMain receives on POSIX (the executable itself).
HINSTANCE PortModuleHandle();
// nullptr names the executable itself (PortModuleHandle); it loads no other module.
HMODULE GetModuleHandleA(LPCSTR moduleName);

// ---- Winsock 1.1 over BSD sockets --------------------------------------------
typedef int SOCKET;
#define INVALID_SOCKET (-1)
#define SOCKET_ERROR (-1)
#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
};
typedef WSADATA* LPWSADATA;

int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup();
int WSAGetLastError();
int closesocket(SOCKET s);
int ioctlsocket(SOCKET s, long command, u_long* argument);
// Winsock takes the sender's address length as an int.
int recvfrom(SOCKET s, char* buffer, int length, int flags, sockaddr* from, int* fromLength);

// ---- user interface -----------------------------------------------------------
#define WM_NULL 0x0000
#define WM_DESTROY 0x0002
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_CLOSE 0x0010
#define WM_KEYDOWN 0x0100
#define WM_CHAR 0x0102
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_TIMER 0x0113
#define WM_USER 0x0400

#define VK_RETURN 0x0D
#define VK_ESCAPE 0x1B

#define IDOK 1
#define IDCANCEL 2
#define BN_CLICKED 0

#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_ICONERROR 0x00000010u
#define MB_TASKMODAL 0x00002000u

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

#define SWP_NOSIZE 0x0001u
#define SWP_NOMOVE 0x0002u
#define SWP_NOZORDER 0x0004u

#define SM_CXSCREEN 0
#define SM_CYSCREEN 1

#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u

#define CB_ERR (-1)
#define CB_ADDSTRING 0x0143
#define CB_GETCURSEL 0x0147
#define CB_GETCOUNT 0x0146
#define CB_GETLBTEXT 0x0148
#define CB_SETCURSEL 0x014E
#define CB_GETLBTEXTLEN 0x0149
#define CB_RESETCONTENT 0x014B

#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_DELTAPOS (WM_USER + 3)
#define PBM_SETRANGE32 (WM_USER + 6)
#define PBM_GETPOS (WM_USER + 8)

#define ICC_PROGRESS_CLASS 0x00000020u
#define ICC_INTERNET_CLASSES 0x00000800u

struct POINT {
  LONG x;
  LONG y;
};
struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
typedef RECT* LPRECT;
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
typedef MSG* LPMSG;
struct INITCOMMONCONTROLSEX {
  DWORD dwSize;
  DWORD dwICC;
};

typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* controls);

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC procedure,
                        LPARAM parameter);
HWND CreateDialogParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC procedure,
                        LPARAM parameter);
BOOL EndDialog(HWND dialog, INT_PTR result);
BOOL ShowWindow(HWND window, int command);
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);

BOOL SetWindowTextA(HWND window, LPCSTR text);
int GetWindowTextA(HWND window, LPSTR text, int capacity);
BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
UINT GetDlgItemTextA(HWND dialog, int id, LPSTR text, int capacity);
HWND GetDlgItem(HWND dialog, int id);
int GetDlgCtrlID(HWND control);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HWND SetFocus(HWND window);
HWND GetFocus();

BOOL PeekMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT remove);
BOOL TranslateMessage(const MSG* message);
LRESULT DispatchMessageA(const MSG* message);

BOOL GetWindowRect(HWND window, LPRECT rect);
int GetSystemMetrics(int index);
BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// ---- entry point --------------------------------------------------------------
// The program's own WinMain; port/'s main() calls it.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showState);

// Winsock send: never raises SIGPIPE when the peer has gone; the error is the result.
int send(SOCKET s, const char* buffer, int length, int flags);
