#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace offsite {

// The answers of an S3-compatible service, read with pugixml: a small,
// maintained DOM parser in Debian that never loads a DTD or an external
// entity, so a hostile answer cannot reach a file or the network or expand
// entities without limit, and that matches element names without regard to
// the namespace a service declares. Every reader takes the body as received
// and returns nothing when it is not the document it expects.

struct ServiceError {
    std::string code;    // "SignatureDoesNotMatch", ...
    std::string message; // the service's own text
};

struct ListedObject {
    std::string key;
    std::uint64_t size = 0;
    std::string lastModified; // ISO 8601 as the service wrote it
};

struct ObjectPage {
    std::vector<ListedObject> objects;
    bool truncated = false;
    std::string nextContinuationToken;
};

struct ListedUpload {
    std::string key;
    std::string uploadId;
};

struct UploadPage {
    std::vector<ListedUpload> uploads;
    bool truncated = false;
    std::string nextKeyMarker;
    std::string nextUploadIdMarker;
};

// <Error><Code/><Message/></Error>; CompleteMultipartUpload may answer one
// with status 200.
std::optional<ServiceError> ReadError(std::string_view body);
// <InitiateMultipartUploadResult><UploadId/>.
std::optional<std::string> ReadUploadId(std::string_view body);
// <CompleteMultipartUploadResult>: true when the body is one.
bool IsCompletion(std::string_view body);
// <ListBucketResult> of ListObjectsV2.
std::optional<ObjectPage> ReadObjectPage(std::string_view body);
// <ListMultipartUploadsResult>.
std::optional<UploadPage> ReadUploadPage(std::string_view body);
// The body of CompleteMultipartUpload for parts 1..n with these ETags.
std::string CompletionBody(const std::vector<std::string>& etags);

} // namespace offsite
