#pragma once
// Process-wide counts of the HTTP client's live resources, for tests and
// diagnostics: after every session is destroyed both are zero.
namespace HttpDiagnostics {
int liveEasyHandles();
int liveIoThreads();
} // namespace HttpDiagnostics
