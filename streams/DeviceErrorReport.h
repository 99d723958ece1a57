#pragma once
// The error callback a stream installs on its connection: every failure the
// protocol library reports goes to the log, naming the stream.
namespace Velantor {

// stream is the Data (a stream) the connection belongs to, or null. Only
// logs; never changes the stream.
void reportDeviceError(int code, char* text, void* stream);

}  // namespace Velantor
