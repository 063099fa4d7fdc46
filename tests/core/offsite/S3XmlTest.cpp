#include "offsite/S3Xml.h"

#include <gtest/gtest.h>

namespace {

TEST(OffsiteXml, ErrorsAreReadWhateverTheirNamespaceAndEntities)
{
    const auto error = offsite::ReadError(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>AccessDenied</Code>"
        "<Message>Access &amp; more &lt;denied&gt; \xC3\xA4</Message><RequestId>1</RequestId></Error>");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, "AccessDenied");
    EXPECT_EQ(error->message, "Access & more <denied> \xC3\xA4");

    EXPECT_FALSE(offsite::ReadError("<html><body>502 Bad Gateway</body></html>"));
    EXPECT_FALSE(offsite::ReadError("not xml at all"));
    EXPECT_FALSE(offsite::ReadError(""));
}

TEST(OffsiteXml, ADocumentTypeNeverReachesAFileOrExpands)
{
    const char* hostile =
        "<?xml version=\"1.0\"?><!DOCTYPE Error [<!ENTITY file SYSTEM \"file:///etc/passwd\">"
        "<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
        "<Error><Code>&file;</Code><Message>&b;</Message></Error>";
    const auto error = offsite::ReadError(hostile);
    if (error) {
        EXPECT_EQ(error->code.find("root:"), std::string::npos);
        EXPECT_EQ(error->message.find("aaaaaaaaaa"), std::string::npos);
    }
}

TEST(OffsiteXml, CompletionMayCarryAnErrorWithStatus200)
{
    const std::string failed = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n<Error><Code>InternalError</Code>"
                               "<Message>We encountered an internal error. Please try again.</Message></Error>";
    EXPECT_FALSE(offsite::IsCompletion(failed));
    EXPECT_EQ(offsite::ReadError(failed)->code, "InternalError");
    EXPECT_TRUE(offsite::IsCompletion(
        "<CompleteMultipartUploadResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Bucket>b</Bucket>"
        "<Key>k</Key><ETag>\"3858f62230ac3c915f300c664312c11f-9\"</ETag></CompleteMultipartUploadResult>"));
    EXPECT_EQ(offsite::CompletionBody({"\"a1\"", "\"b2\""}),
              "<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
              "<Part><PartNumber>1</PartNumber><ETag>\"a1\"</ETag></Part>"
              "<Part><PartNumber>2</PartNumber><ETag>\"b2\"</ETag></Part></CompleteMultipartUpload>");
}

TEST(OffsiteXml, ListingsGiveKeysSizesAgesAndTheNextPage)
{
    const auto page = offsite::ReadObjectPage(
        "<ListBucketResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Name>b</Name><Prefix>p/</Prefix>"
        "<KeyCount>2</KeyCount><IsTruncated>true</IsTruncated><NextContinuationToken>1ueGcxLPRx1Tr/XYExHnhbYLgveDs2J/wm36Hy4vbOwM=</NextContinuationToken>"
        "<Contents><Key>p/127.0.0.1,1433/Geh\xC3\xA4lter/Geh\xC3\xA4lter.zip</Key><LastModified>2024-07-14T09:05:03.000Z</LastModified>"
        "<ETag>&quot;x&quot;</ETag><Size>6442450944</Size></Contents>"
        "<Contents><Key>p/a &amp; b.Bak</Key><LastModified>2024-07-15T09:05:03.000Z</LastModified><Size>3</Size></Contents>"
        "</ListBucketResult>");
    ASSERT_TRUE(page);
    ASSERT_EQ(page->objects.size(), 2u);
    EXPECT_EQ(page->objects[0].key, "p/127.0.0.1,1433/Geh\xC3\xA4lter/Geh\xC3\xA4lter.zip");
    EXPECT_EQ(page->objects[0].size, 6442450944u);
    EXPECT_EQ(page->objects[0].lastModified, "2024-07-14T09:05:03.000Z");
    EXPECT_EQ(page->objects[1].key, "p/a & b.Bak");
    EXPECT_TRUE(page->truncated);
    EXPECT_EQ(page->nextContinuationToken, "1ueGcxLPRx1Tr/XYExHnhbYLgveDs2J/wm36Hy4vbOwM=");

    const auto uploads = offsite::ReadUploadPage(
        "<ListMultipartUploadsResult><IsTruncated>false</IsTruncated><Upload><Key>p/k.zip</Key>"
        "<UploadId>VXBsb2FkIElE</UploadId></Upload></ListMultipartUploadsResult>");
    ASSERT_TRUE(uploads);
    ASSERT_EQ(uploads->uploads.size(), 1u);
    EXPECT_EQ(uploads->uploads[0].uploadId, "VXBsb2FkIElE");
    EXPECT_FALSE(uploads->truncated);

    EXPECT_FALSE(offsite::ReadObjectPage("<Error><Code>NoSuchBucket</Code></Error>"));
    EXPECT_EQ(offsite::ReadUploadId("<InitiateMultipartUploadResult><Bucket>b</Bucket><Key>k</Key>"
                                    "<UploadId>abc-123</UploadId></InitiateMultipartUploadResult>"),
              "abc-123");
    EXPECT_FALSE(offsite::ReadUploadId("<InitiateMultipartUploadResult></InitiateMultipartUploadResult>"));
}

} // namespace
