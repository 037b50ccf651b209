// Message texts of the runtime layer. Every text the runtime raises lives
// here; placeholders are filled by rtl::Format ("%s" text, "%d" integer).
#pragma once

namespace rtl::msg {

// Lists.
inline constexpr const char* kListIndexError = "List index out of bounds (%d)";

// Streams.
inline constexpr const char* kReadError = "Stream read error";
inline constexpr const char* kWriteError = "Stream write error";
inline constexpr const char* kSeekError = "Invalid stream position %d";
inline constexpr const char* kSizeError = "Invalid stream size %d";
inline constexpr const char* kSizeNotSupported = "Stream size cannot be changed";
inline constexpr const char* kFOpenError = "Cannot open file \"%s\": %s";
inline constexpr const char* kFCreateError = "Cannot create file \"%s\": %s";
inline constexpr const char* kFileReadError = "Error reading file \"%s\": %s";
inline constexpr const char* kFileWriteError = "Error writing file \"%s\": %s";
inline constexpr const char* kFileSeekError = "Error positioning file \"%s\": %s";
inline constexpr const char* kNoStream = "No stream assigned";
inline constexpr const char* kBadSeekOrigin = "Invalid seek origin %d";
inline constexpr const char* kUnknownException = "Unknown exception";

// Components.
inline constexpr const char* kInvalidName = "\"%s\" is not a valid component name";
inline constexpr const char* kDuplicateName = "A component named %s already exists";
inline constexpr const char* kNoComponent = "No component to read into";
inline constexpr const char* kClassNotFound = "Class %s not found";

// Form descriptions. Reading errors end with the line they were found on.
inline constexpr const char* kFormSyntax = "Form description: %s (line %d)";
inline constexpr const char* kExpected = "%s expected but \"%s\" found";
inline constexpr const char* kUnknownProperty = "Property %s of %s does not exist";
inline constexpr const char* kPropertyNotRead = "Value of property %s of %s was not read";
inline constexpr const char* kWrongValueKind = "%s expected as value of property %s";
inline constexpr const char* kClassMismatch = "Component %s is a %s";

}  // namespace rtl::msg
