// Timing harness for bench/apply.sh, run under Wine.
//   apply_harness run DIR COMMAND...   runs COMMAND in DIR to its end; prints its wall time
//   apply_harness copy FROM TO         copies every file of folder FROM into folder TO (which
//                                      exists) with one read and one write each; prints the time
//   apply_harness decode EXE           decodes every payload of update EXE as the stub does
//                                      (RtlDecompressBuffer, blocks of 64 chunks on every
//                                      processor) and keeps nothing; prints the time
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

double Seconds(LARGE_INTEGER start) {
  LARGE_INTEGER now, frequency;
  ::QueryPerformanceCounter(&now);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

int Run(const std::wstring& directory, std::wstring command) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  LARGE_INTEGER start;
  ::QueryPerformanceCounter(&start);
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.c_str(), &startup, &process)) {
    std::fprintf(stderr, "apply_harness: cannot start the command (error %lu)\n", ::GetLastError());
    return 1;
  }
  ::CloseHandle(process.hThread);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  const double seconds = Seconds(start);
  ::CloseHandle(process.hProcess);
  std::printf("seconds %.3f\n", seconds);
  return 0;
}

bool CopyOne(const std::wstring& from, const std::wstring& to) {
  HANDLE in = ::CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  ::GetFileSizeEx(in, &size);
  std::vector<char> bytes(static_cast<std::size_t>(size.QuadPart));
  DWORD done = 0;
  const bool read = bytes.empty() || (::ReadFile(in, bytes.data(), static_cast<DWORD>(bytes.size()),
                                                 &done, nullptr) && done == bytes.size());
  ::CloseHandle(in);
  if (!read) return false;
  HANDLE out = ::CreateFileW(to.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  const bool written = bytes.empty() || (::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()),
                                                     &done, nullptr) && done == bytes.size());
  ::CloseHandle(out);
  return written;
}

int Copy(const std::wstring& from, const std::wstring& to) {
  LARGE_INTEGER start;
  ::QueryPerformanceCounter(&start);
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((from + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return 1;
  int files = 0;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (!CopyOne(from + L"\\" + data.cFileName, to + L"\\" + data.cFileName)) {
      std::fprintf(stderr, "apply_harness: cannot copy %ls\n", data.cFileName);
      ::FindClose(find);
      return 1;
    }
    ++files;
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  std::printf("seconds %.3f\nfiles %d\n", Seconds(start), files);
  return 0;
}

struct Block {
  const BYTE* bytes;
  ULONG size;
};

BOOL CALLBACK AddPayload(HMODULE image, LPCWSTR type, LPWSTR name, LONG_PTR blocks_address) {
  auto& blocks = *reinterpret_cast<std::vector<Block>*>(blocks_address);
  HRSRC info = ::FindResourceW(image, name, type);
  const auto* bytes = static_cast<const BYTE*>(::LockResource(::LoadResource(image, info)));
  const DWORD size = ::SizeofResource(image, info);
  // Cut at chunk headers into blocks of 64 chunks, as the stub cuts its streams.
  DWORD at = 0, start = 0, chunks = 0;
  while (at + 2 <= size) {
    const unsigned header = bytes[at] | bytes[at + 1] << 8;
    if (header == 0) break;
    at += 2 + (header & 0xFFF) + 1;
    if (++chunks == 64) {
      blocks.push_back({bytes + start, at - start});
      start = at;
      chunks = 0;
    }
  }
  if (at > start) blocks.push_back({bytes + start, (at < size ? at : size) - start});
  return TRUE;
}

int Decode(const std::wstring& exe) {
  using Decompress = LONG(NTAPI*)(USHORT, PUCHAR, ULONG, PUCHAR, ULONG, PULONG);
  const auto decompress = reinterpret_cast<Decompress>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlDecompressBuffer")));
  HMODULE image = ::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (image == nullptr || decompress == nullptr) return 1;
  LARGE_INTEGER start;
  ::QueryPerformanceCounter(&start);
  std::vector<Block> blocks;
  ::EnumResourceNamesW(image, MAKEINTRESOURCEW(256), AddPayload, reinterpret_cast<LONG_PTR>(&blocks));
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  const auto work = [&] {
    std::vector<BYTE> out(64 * 4096);
    for (std::size_t i; (i = next++) < blocks.size();) {
      ULONG produced = 0;
      if (decompress(2 /* LZNT1 */, out.data(), static_cast<ULONG>(out.size()),
                     const_cast<PUCHAR>(blocks[i].bytes), blocks[i].size, &produced) < 0) {
        failed = true;
      }
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < std::thread::hardware_concurrency(); ++t) threads.emplace_back(work);
  work();
  for (std::thread& thread : threads) thread.join();
  const double seconds = Seconds(start);
  if (failed || blocks.empty()) {
    std::fprintf(stderr, "apply_harness: the payloads of the exe do not decode\n");
    return 1;
  }
  std::printf("seconds %.3f\nblocks %zu\n", seconds, blocks.size());
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 4 && std::wstring(argv[1]) == L"run") {
    std::wstring command;
    for (int i = 3; i < argc; ++i) {
      if (i > 3) command += L" ";
      command += L"\"" + std::wstring(argv[i]) + L"\"";
    }
    return Run(argv[2], command);
  }
  if (argc == 4 && std::wstring(argv[1]) == L"copy") return Copy(argv[2], argv[3]);
  if (argc == 3 && std::wstring(argv[1]) == L"decode") return Decode(argv[2]);
  std::fprintf(stderr, "usage: apply_harness run DIR COMMAND... | copy FROM TO | decode EXE\n");
  return 2;
}
