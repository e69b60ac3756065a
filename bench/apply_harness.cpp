// Timing harness for bench/apply.sh, run under Wine.
//   apply_harness run DIR COMMAND...   runs COMMAND in DIR to its end; prints its wall time
//   apply_harness copy FROM TO         copies every file of folder FROM into folder TO (which
//                                      exists) with one read and one write each; prints the time
//   apply_harness write FROM TO        the same, but reads every file first and times only the
//                                      writes: what the compatible mode does once it releases
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

bool ReadOne(const std::wstring& path, std::vector<char>& bytes) {
  HANDLE in = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  ::GetFileSizeEx(in, &size);
  bytes.resize(static_cast<std::size_t>(size.QuadPart));
  DWORD done = 0;
  const bool read = bytes.empty() || (::ReadFile(in, bytes.data(), static_cast<DWORD>(bytes.size()),
                                                 &done, nullptr) && done == bytes.size());
  ::CloseHandle(in);
  return read;
}

// Creates `path` and writes `bytes` with one write, as the compatible mode releases a file.
bool WriteOne(const std::wstring& path, const std::vector<char>& bytes) {
  HANDLE out = ::CreateFileW(path.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  const bool written = bytes.empty() || (::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()),
                                                     &done, nullptr) && done == bytes.size());
  ::CloseHandle(out);
  return written;
}

// The names of the files (not folders) in `folder`.
std::vector<std::wstring> FilesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return names;
}

// `copy`: each file read and written in turn, all of it timed. `write`: every file read into
// memory first, then only the writing timed.
int Copy(const std::wstring& from, const std::wstring& to, bool write_only) {
  const std::vector<std::wstring> names = FilesIn(from);
  std::vector<std::vector<char>> contents(write_only ? names.size() : 0);
  for (std::size_t i = 0; write_only && i < names.size(); ++i) {
    if (!ReadOne(from + L"\\" + names[i], contents[i])) {
      std::fprintf(stderr, "apply_harness: cannot read %ls\n", names[i].c_str());
      return 1;
    }
  }
  LARGE_INTEGER start;
  ::QueryPerformanceCounter(&start);
  for (std::size_t i = 0; i < names.size(); ++i) {
    // A copy reads each file into memory of its own, as it always has (reusing one buffer saves
    // the page faults and makes it faster on this kind of machine).
    std::vector<char> own;
    std::vector<char>& bytes = write_only ? contents[i] : own;
    if ((!write_only && !ReadOne(from + L"\\" + names[i], bytes)) || !WriteOne(to + L"\\" + names[i], bytes)) {
      std::fprintf(stderr, "apply_harness: cannot copy %ls\n", names[i].c_str());
      return 1;
    }
  }
  std::printf("seconds %.3f\nfiles %zu\n", Seconds(start), names.size());
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
  if (argc == 4 && std::wstring(argv[1]) == L"copy") return Copy(argv[2], argv[3], false);
  if (argc == 4 && std::wstring(argv[1]) == L"write") return Copy(argv[2], argv[3], true);
  if (argc == 3 && std::wstring(argv[1]) == L"decode") return Decode(argv[2]);
  std::fprintf(stderr, "usage: apply_harness run DIR COMMAND... | copy FROM TO | write FROM TO | decode EXE\n");
  return 2;
}
