#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "sim/system.h"

namespace sim::system {
namespace {

HANDLE AsHandle(ArrayHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

ArrayHandle FromHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return kNoArray;
  return reinterpret_cast<ArrayHandle>(handle);
}

std::string LastErrorText() {
  const DWORD code = ::GetLastError();
  char text[256] = {};
  const DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  return message.empty() ? "error " + std::to_string(code) : message;
}

DWORD High(std::uint64_t value) {
  return static_cast<DWORD>(value >> 32);
}

DWORD Low(std::uint64_t value) {
  return static_cast<DWORD>(value & 0xFFFFFFFFu);
}

std::uint8_t* MapReadWrite(HANDLE mapping, std::uint64_t bytes) {
  return static_cast<std::uint8_t*>(
      ::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(bytes)));
}

std::size_t Granularity() {
  SYSTEM_INFO info{};
  ::GetSystemInfo(&info);
  return info.dwAllocationGranularity;
}

std::size_t PageSize() {
  SYSTEM_INFO info{};
  ::GetSystemInfo(&info);
  return info.dwPageSize;
}

// The window is two allocations: the view of the array from the start, and committed memory
// of 0xFF from the next allocation boundary after it to the end of the window.
struct WindowParts {
  std::size_t shown = 0;  // bytes of the array's view
  std::size_t tail = 0;   // where the 0xFF part starts
};

WindowParts Parts(std::uint64_t arrayBytes, std::size_t windowBytes) {
  const std::size_t shown =
      static_cast<std::size_t>(arrayBytes < windowBytes ? arrayBytes : windowBytes);
  const std::size_t granularity = Granularity();
  std::size_t tail = (shown + granularity - 1) / granularity * granularity;
  if (tail > windowBytes) tail = windowBytes;
  return {shown, tail};
}

}  // namespace

// Backed by the paging file: the window maps the same section a second time.
bool CreatePrivateArray(std::uint64_t bytes, SharedArray& array, std::string* error) {
  HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                        High(bytes), Low(bytes), nullptr);
  array.handle = FromHandle(mapping);
  if (mapping != nullptr) array.bytes = MapReadWrite(mapping, bytes);
  if (array.bytes == nullptr) {
    if (error) *error = "private flash array: " + LastErrorText();
    return false;
  }
  array.size = bytes;
  return true;
}

bool MapArrayFile(const std::filesystem::path& file, std::uint64_t bytes, SharedArray& array,
                  std::string* error) {
  const auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  HANDLE opened = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  array.file = FromHandle(opened);
  if (opened == INVALID_HANDLE_VALUE) return fail(LastErrorText());
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(opened, &size)) return fail(LastErrorText());
  if (static_cast<std::uint64_t>(size.QuadPart) != bytes)
    return fail("size " + std::to_string(size.QuadPart) + ", the geometry needs " +
                std::to_string(bytes));
  // An empty file cannot be mapped; there is nothing to show then.
  if (bytes == 0) return true;
  HANDLE mapping = ::CreateFileMappingW(opened, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  array.handle = FromHandle(mapping);
  if (mapping == nullptr) return fail(LastErrorText());
  array.bytes = MapReadWrite(mapping, bytes);
  if (array.bytes == nullptr) return fail(LastErrorText());
  array.size = bytes;
  return true;
}

void ReleaseArray(SharedArray& array) {
  if (array.bytes != nullptr) {
    ::FlushViewOfFile(array.bytes, 0);
    ::UnmapViewOfFile(array.bytes);
  }
  if (array.handle != kNoArray) ::CloseHandle(AsHandle(array.handle));
  if (array.file != kNoArray) ::CloseHandle(AsHandle(array.file));
  array = SharedArray{};
}

std::uint8_t* MapWindow(ArrayHandle handle, std::uint64_t arrayBytes, std::size_t windowBytes,
                        std::string* error) {
  const auto fail = [&](const char* what) -> std::uint8_t* {
    if (error) *error = std::string("flash window: ") + what + ": " + LastErrorText();
    return nullptr;
  };
  const WindowParts parts = Parts(arrayBytes, windowBytes);
  // Another thread may take the reserved range between the release and the mapping; a few
  // attempts cover that.
  for (int attempt = 0; attempt < 8; ++attempt) {
    void* area = ::VirtualAlloc(nullptr, windowBytes, MEM_RESERVE, PAGE_NOACCESS);
    if (area == nullptr) return fail("cannot reserve");
    ::VirtualFree(area, 0, MEM_RELEASE);
    auto* base = static_cast<std::uint8_t*>(area);
    if (parts.shown != 0 && ::MapViewOfFileEx(AsHandle(handle), FILE_MAP_READ, 0, 0,
                                              parts.shown, base) != base)
      continue;
    if (parts.tail < windowBytes) {
      void* tail = ::VirtualAlloc(base + parts.tail, windowBytes - parts.tail,
                                  MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
      if (tail != base + parts.tail) {
        if (parts.shown != 0) ::UnmapViewOfFile(base);
        continue;
      }
      std::memset(tail, 0xFF, windowBytes - parts.tail);
      DWORD old = 0;
      ::VirtualProtect(tail, windowBytes - parts.tail, PAGE_READONLY, &old);
    }
    return base;
  }
  return fail("cannot map the array");
}

void UnmapWindow(std::uint8_t* base, std::uint64_t arrayBytes, std::size_t windowBytes) {
  const WindowParts parts = Parts(arrayBytes, windowBytes);
  if (parts.shown != 0) ::UnmapViewOfFile(base);
  if (parts.tail < windowBytes) ::VirtualFree(base + parts.tail, 0, MEM_RELEASE);
}

bool ProtectWindow(std::uint8_t* base, std::uint64_t arrayBytes, std::size_t windowBytes,
                   bool readable) {
  const WindowParts parts = Parts(arrayBytes, windowBytes);
  const DWORD protection = readable ? PAGE_READONLY : PAGE_NOACCESS;
  DWORD old = 0;
  const std::size_t page = PageSize();
  const std::size_t shownPages = (parts.shown + page - 1) / page * page;
  bool done = true;
  if (shownPages != 0) done = ::VirtualProtect(base, shownPages, protection, &old) != 0;
  if (parts.tail < windowBytes)
    done = ::VirtualProtect(base + parts.tail, windowBytes - parts.tail, protection, &old) != 0 &&
           done;
  return done;
}

namespace {

FaultRoutine faultRoutine = nullptr;

LONG WINAPI HandleFault(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD* record = exception->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2)
    return EXCEPTION_CONTINUE_SEARCH;
  const void* address = reinterpret_cast<const void*>(record->ExceptionInformation[1]);
  switch (faultRoutine(address)) {
    case FaultAnswer::Retry:
      return EXCEPTION_CONTINUE_EXECUTION;
    case FaultAnswer::Fatal:
      std::abort();
    case FaultAnswer::NotOurs:
      break;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void InstallFaultHandler(FaultRoutine routine) {
  static std::once_flag installed;
  std::call_once(installed, [routine] {
    faultRoutine = routine;
    ::AddVectoredExceptionHandler(1, &HandleFault);
  });
}

void SayFromHandler(const char* text) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)),
              &written, nullptr);
}

// Append-only access makes every write land at the end of the file, whoever else appends.
bool AppendDurably(const std::filesystem::path& file, const std::string& line,
                   std::string* error) {
  HANDLE opened = ::CreateFileW(file.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  const bool done = opened != INVALID_HANDLE_VALUE &&
                    ::WriteFile(opened, line.data(), static_cast<DWORD>(line.size()), &written,
                                nullptr) &&
                    written == line.size();
  if (!done && error) *error = LastErrorText();
  if (opened != INVALID_HANDLE_VALUE) {
    ::FlushFileBuffers(opened);
    ::CloseHandle(opened);
  }
  return done;
}

bool WriteInOnePiece(const std::filesystem::path& file, const std::string& bytes) {
  HANDLE opened = ::CreateFileW(file.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool done =
      ::WriteFile(opened, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size();
  ::CloseHandle(opened);
  return done;
}

std::uint64_t ProcessId() {
  return ::GetCurrentProcessId();
}

void EndAbruptly(int status) {
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(status));
  std::abort();  // not reached
}

std::uint64_t MonotonicNanoseconds(bool coarse) {
  if (coarse) return ::GetTickCount64() * 1000000ull;
  static const std::uint64_t frequency = [] {
    LARGE_INTEGER value{};
    ::QueryPerformanceFrequency(&value);
    return static_cast<std::uint64_t>(value.QuadPart);
  }();
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  const std::uint64_t ticks = static_cast<std::uint64_t>(now.QuadPart);
  return ticks / frequency * 1000000000ull + ticks % frequency * 1000000000ull / frequency;
}

}  // namespace sim::system
