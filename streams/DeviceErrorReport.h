#pragma once
// The error callbacks a stream installs on its connection: every failure the
// protocol library reports goes to the log, naming the stream.
namespace Velantor {

// stream is the Data (a stream) the connection belongs to, or null. Only
// logs; never changes the stream. One callback per stream kind, since a
// report without a stream can only say which kind it came from.
void reportDeviceError(int code, char* text, void* stream);
void reportMarkerStreamDeviceError(int code, char* text, void* stream);

}  // namespace Velantor
