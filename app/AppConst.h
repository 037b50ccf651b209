// Texts of the viewer.
#pragma once

// Trace lines written while the tree is filled.
inline constexpr const char* SChildNodesCountTrace = "ChildNodes.Count=%d";
inline constexpr const char* SNodeNameTrace = "NodeName=%s";

// Shown for an error that carries no message of its own.
inline constexpr const char* SUnknownError = "Unknown error";
// A trace line could not be written; %s is the system's reason.
inline constexpr const char* SWriteTraceError = "Error writing to standard output: %s";
// Raised through the load when the user cancels it; never shown.
inline constexpr const char* SLoadCancelled = "Load cancelled";
