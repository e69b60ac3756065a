// `bootpack compress` and `bootpack decompress`: raw LZNT1 streams in and out, for benchmarks
// and debugging. Their arguments are a stable interface: external benchmarks call them.
#pragma once

#include <string>
#include <vector>

namespace boot {

// bootpack compress [--level fast|default|max] IN OUT. `args` is everything after the command
// word. Writes the stream of IN to OUT. Returns the exit status (0 done, 1 failed, 2 bad usage);
// errors go to stderr as "bootpack: <what>: <why>".
int RunCompressCommand(const std::vector<std::string>& args);

// bootpack decompress IN OUT. Decodes the stream in IN and writes the content to OUT. Same exit
// statuses and error form as RunCompressCommand.
int RunDecompressCommand(const std::vector<std::string>& args);

}  // namespace boot
