// The Windows build's third-party libraries, linked statically, working under
// the system's own interfaces: libcurl with Schannel, minizip through the
// Win32 file functions with a wide path, pugixml, and GoogleTest itself.
// winsock2.h (through curl.h) must come before windows.h, and iowin32.h
// after the minizip headers it builds on.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <pugixml.hpp>
#include <unzip.h>
#include <windows.h>
#include <zip.h>

#include <iowin32.h>

#include <cstdio>
#include <set>
#include <string>
#include <string_view>

namespace {

TEST(ToolchainProbe, CurlIsStaticSchannelHttpOnly) {
  ASSERT_EQ(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK);
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  ASSERT_NE(info, nullptr);
  ASSERT_NE(info->ssl_version, nullptr);
  std::printf("libcurl %s, TLS %s, zlib %s\n", info->version, info->ssl_version,
              info->libz_version ? info->libz_version : "none");
  EXPECT_NE(std::string_view(info->ssl_version).find("Schannel"), std::string_view::npos);
  EXPECT_TRUE(info->features & CURL_VERSION_SSL);
  EXPECT_TRUE(info->features & CURL_VERSION_LIBZ);
  // Name look-ups in a thread of their own, so that every one has a time-out.
  EXPECT_TRUE(info->features & CURL_VERSION_ASYNCHDNS);
  std::set<std::string> protocols;
  for (const char* const* p = info->protocols; *p; ++p) protocols.insert(*p);
  EXPECT_EQ(protocols, (std::set<std::string>{"http", "https"}));

  CURL* easy = curl_easy_init();
  ASSERT_NE(easy, nullptr);
  EXPECT_EQ(curl_easy_setopt(easy, CURLOPT_URL, "ftp://127.0.0.1/"), CURLE_OK);
  EXPECT_EQ(curl_easy_perform(easy), CURLE_UNSUPPORTED_PROTOCOL);
  curl_easy_cleanup(easy);
  curl_global_cleanup();
}

// A temporary folder with a name outside the ANSI code page, removed with
// everything in it.
class WideTempFolder {
 public:
  WideTempFolder() {
    wchar_t base[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, base);
    if (n == 0 || n > MAX_PATH) return;
    path_ = std::wstring(base) + L"probe \u00e9\u4e2d " + std::to_wstring(GetCurrentProcessId());
    if (!CreateDirectoryW(path_.c_str(), nullptr)) path_.clear();
  }
  ~WideTempFolder() {
    if (path_.empty()) return;
    DeleteFileW(file(L"archive.zip").c_str());
    RemoveDirectoryW(path_.c_str());
  }
  WideTempFolder(const WideTempFolder&) = delete;
  WideTempFolder& operator=(const WideTempFolder&) = delete;
  bool ok() const { return !path_.empty(); }
  std::wstring file(const wchar_t* name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

TEST(ToolchainProbe, MinizipRoundTripThroughWin32FileFunctions) {
  WideTempFolder folder;
  ASSERT_TRUE(folder.ok());
  const std::wstring archive = folder.file(L"archive.zip");
  zlib_filefunc64_def io{};
  fill_win32_filefunc64W(&io);

  const std::string content(5000, 'x');
  zipFile zf = zipOpen2_64(archive.c_str(), APPEND_STATUS_CREATE, nullptr, &io);
  ASSERT_NE(zf, nullptr);
  ASSERT_EQ(zipOpenNewFileInZip64(zf, "dir/hello.txt", nullptr, nullptr, 0, nullptr, 0, nullptr,
                                  Z_DEFLATED, Z_BEST_COMPRESSION, 0),
            ZIP_OK);
  ASSERT_EQ(zipWriteInFileInZip(zf, content.data(), static_cast<unsigned>(content.size())), ZIP_OK);
  ASSERT_EQ(zipCloseFileInZip(zf), ZIP_OK);
  ASSERT_EQ(zipClose(zf, nullptr), ZIP_OK);

  WIN32_FILE_ATTRIBUTE_DATA attributes;
  ASSERT_TRUE(GetFileAttributesExW(archive.c_str(), GetFileExInfoStandard, &attributes));
  EXPECT_EQ(attributes.nFileSizeHigh, 0u);
  EXPECT_LT(attributes.nFileSizeLow, content.size());  // deflated, not stored

  unzFile uf = unzOpen2_64(archive.c_str(), &io);
  ASSERT_NE(uf, nullptr);
  unz_global_info64 global{};
  ASSERT_EQ(unzGetGlobalInfo64(uf, &global), UNZ_OK);
  EXPECT_EQ(global.number_entry, 1u);
  ASSERT_EQ(unzLocateFile(uf, "dir/hello.txt", 1), UNZ_OK);
  ASSERT_EQ(unzOpenCurrentFile(uf), UNZ_OK);
  std::string read(content.size() + 1, '\0');
  const int got = unzReadCurrentFile(uf, read.data(), static_cast<unsigned>(read.size()));
  EXPECT_EQ(unzCloseCurrentFile(uf), UNZ_OK);  // also checks the CRC
  ASSERT_EQ(got, static_cast<int>(content.size()));
  read.resize(content.size());
  EXPECT_EQ(read, content);
  EXPECT_EQ(unzClose(uf), UNZ_OK);

  EXPECT_EQ(unzOpen2_64(folder.file(L"missing.zip").c_str(), &io), nullptr);
}

TEST(ToolchainProbe, PugixmlParsesAndRefuses) {
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string("<skin><control name=\"bar\" x=\"12\"/></skin>"));
  const pugi::xml_node control = doc.child("skin").child("control");
  EXPECT_STREQ(control.attribute("name").as_string(), "bar");
  EXPECT_EQ(control.attribute("x").as_int(), 12);

  pugi::xml_document bad;
  const pugi::xml_parse_result result = bad.load_string("<skin><control></skin>");
  EXPECT_FALSE(result);
  EXPECT_EQ(result.status, pugi::status_end_element_mismatch);
}

}  // namespace
