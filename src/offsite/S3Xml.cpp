#include "offsite/S3Xml.h"

#include <pugixml.hpp>

#include <cstdlib>

namespace offsite {

namespace {

// Only what a document needs; no DOCTYPE is ever read.
constexpr unsigned kParseOptions = pugi::parse_default & ~pugi::parse_doctype;

bool Parse(pugi::xml_document& document, std::string_view body)
{
    return document.load_buffer(body.data(), body.size(), kParseOptions, pugi::encoding_utf8);
}

std::string Text(const pugi::xml_node& node, const char* child)
{
    return node.child(child).text().as_string();
}

std::uint64_t Number(const pugi::xml_node& node, const char* child)
{
    return node.child(child).text().as_ullong(0);
}

bool Flag(const pugi::xml_node& node, const char* child)
{
    return std::string_view(node.child(child).text().as_string()) == "true";
}

} // namespace

std::optional<ServiceError> ReadError(std::string_view body)
{
    pugi::xml_document document;
    if (!Parse(document, body))
        return std::nullopt;
    const pugi::xml_node error = document.child("Error");
    if (!error)
        return std::nullopt;
    return ServiceError{Text(error, "Code"), Text(error, "Message")};
}

std::optional<std::string> ReadUploadId(std::string_view body)
{
    pugi::xml_document document;
    if (!Parse(document, body))
        return std::nullopt;
    const std::string id = Text(document.child("InitiateMultipartUploadResult"), "UploadId");
    if (id.empty())
        return std::nullopt;
    return id;
}

bool IsCompletion(std::string_view body)
{
    pugi::xml_document document;
    return Parse(document, body) && document.child("CompleteMultipartUploadResult");
}

std::optional<ObjectPage> ReadObjectPage(std::string_view body)
{
    pugi::xml_document document;
    if (!Parse(document, body))
        return std::nullopt;
    const pugi::xml_node result = document.child("ListBucketResult");
    if (!result)
        return std::nullopt;
    ObjectPage page;
    for (const pugi::xml_node item : result.children("Contents"))
        page.objects.push_back({Text(item, "Key"), Number(item, "Size"), Text(item, "LastModified")});
    page.truncated = Flag(result, "IsTruncated");
    page.nextContinuationToken = Text(result, "NextContinuationToken");
    return page;
}

std::optional<UploadPage> ReadUploadPage(std::string_view body)
{
    pugi::xml_document document;
    if (!Parse(document, body))
        return std::nullopt;
    const pugi::xml_node result = document.child("ListMultipartUploadsResult");
    if (!result)
        return std::nullopt;
    UploadPage page;
    for (const pugi::xml_node item : result.children("Upload"))
        page.uploads.push_back({Text(item, "Key"), Text(item, "UploadId")});
    page.truncated = Flag(result, "IsTruncated");
    page.nextKeyMarker = Text(result, "NextKeyMarker");
    page.nextUploadIdMarker = Text(result, "NextUploadIdMarker");
    return page;
}

std::string CompletionBody(const std::vector<std::string>& etags)
{
    pugi::xml_document document;
    pugi::xml_node root = document.append_child("CompleteMultipartUpload");
    root.append_attribute("xmlns") = "http://s3.amazonaws.com/doc/2006-03-01/";
    for (std::size_t i = 0; i < etags.size(); ++i) {
        pugi::xml_node part = root.append_child("Part");
        part.append_child("PartNumber").text().set(static_cast<unsigned long long>(i + 1));
        part.append_child("ETag").text().set(etags[i].c_str());
    }
    struct Writer : pugi::xml_writer {
        std::string text;
        void write(const void* data, std::size_t size) override { text.append(static_cast<const char*>(data), size); }
    } writer;
    document.save(writer, "", pugi::format_raw | pugi::format_no_declaration);
    return writer.text;
}

} // namespace offsite
