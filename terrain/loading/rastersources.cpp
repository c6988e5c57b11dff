// What an untrusted raster may read: other rasters and the files that go with them beside them,
// nothing on the network, no raw bytes of arbitrary files.

#include "rastersources.h"

#include "paths.h"

#include <cpl_string.h>
#include <gdal.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits.h>
#include <memory>
#include <sys/stat.h>

namespace {

struct DatasetCloser {
  void operator()(void * dataset) const { GDALClose(dataset); }
};
using Dataset = std::unique_ptr<void, DatasetCloser>;

// The names a dataset reads from, as GDAL lists them.
std::vector<std::string> fileListOf(GDALDatasetH dataset)
{
  std::vector<std::string> files;
  char ** list = GDALGetFileList(dataset);
  for (char ** f = list; f != nullptr && *f != nullptr; ++f) files.emplace_back(*f);
  CSLDestroy(list);
  return files;
}

std::string textOf(const std::string & file)
{
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text;
}

std::string stemOf(const std::string & path)
{
  const std::string name = fileNameOf(path);
  return folderOf(path) + "/" + name.substr(0, name.find('.'));
}

bool rawAllowed(void)
{
  const char * allowed = std::getenv("TERRAVEL_ALLOW_RAW");
  return allowed != nullptr && std::strcmp(allowed, "1") == 0;
}

// XML text with its character references and predefined entities replaced, once, as a reader
// of the XML sees it: "&#47;vsicurl" names what "/vsicurl" names.
std::string decodedXml(const std::string & text)
{
  static const char * const named[][2] = {{"lt", "<"}, {"gt", ">"}, {"amp", "&"}, {"quot", "\""}, {"apos", "'"}};
  std::string decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const size_t end = text[i] == '&' ? text.find(';', i) : std::string::npos;
    const std::string entity = end != std::string::npos && end - i <= 10 ? text.substr(i + 1, end - i - 1) : "";
    char replacement = 0;
    if (entity.size() > 1 && entity[0] == '#') {
      const bool hex = entity[1] == 'x' || entity[1] == 'X';
      const char * digits = entity.c_str() + (hex ? 2 : 1);
      char * stop = nullptr;
      const unsigned long code = std::strtoul(digits, &stop, hex ? 16 : 10);
      // Beyond ASCII no name looked for holds it.
      if (stop != digits && *stop == '\0') replacement = code > 0 && code < 128 ? char(code) : '?';
    }
    for (const auto & name : named)
      if (entity == name[0]) replacement = name[1][0];
    if (replacement == 0) {
      decoded += text[i];
      continue;
    }
    decoded += replacement;
    i = end;
  }
  return decoded;
}

// Whether a name GDAL reads from is on the network.
bool onNetwork(const std::string & name)
{
  static const char * const network[] = {"/vsicurl", "/vsis3", "/vsigs", "/vsiaz", "/vsiadls",
                                         "/vsioss", "/vsiswift", "/vsihdfs", "/vsiwebhdfs",
                                         "http://", "https://", "ftp://"};
  for (const char * address : network)
    if (name.find(address) != std::string::npos) return true;
  return false;
}

// What a mosaic's description may not name: sources on the network, raw bytes of any file,
// memory by address. It is looked at as its XML reader sees it, references decoded.
bool vrtTextIsSafe(const std::string & file, const std::string & raw, std::string & reason)
{
  const std::string text = decodedXml(raw);
  if (onNetwork(text) || onNetwork(raw)) {
    reason = file + " names a source on the network; only local files are read";
    return false;
  }
  if (text.find("MEM:::") != std::string::npos) {
    reason = file + " names memory by address as a source";
    return false;
  }
  if (!rawAllowed() && text.find("VRTRawRasterBand") != std::string::npos) {
    reason = file + " reads a file as raw bytes (a raw band); set TERRAVEL_ALLOW_RAW=1 to allow it";
    return false;
  }
  return true;
}

// The real folder of a file (links in the way resolved), or nothing.
std::string realFolderOf(const std::string & file)
{
  char * real = realpath(folderOf(file).c_str(), nullptr);
  const std::string folder = real != nullptr ? real : "";
  std::free(real);
  return folder;
}

// Whether the driver reads a file's bytes raw, as a header in another file describes them (a
// .bil by its .hdr): such bytes can be any file's.
bool readsRawByHeader(GDALDriverH driver)
{
  static const char * const drivers[] = {"EHdr", "ENVI", "GenBin", "PAux", "MFF", "MFF2", "ISCE",
                                         "ROI_PAC", "RRASTER", "ERS", "PDS", "PDS4", "ISIS2",
                                         "ISIS3", "VICAR", "FAST", "NDF", "EIR", "GSC"};
  const char * name = GDALGetDriverShortName(driver);
  for (const char * raw : drivers)
    if (std::strcmp(name, raw) == 0) return true;
  return false;
}

// Raw bytes described by a header may be read only where they lie beside what names them, as
// a file of their own: not through a link (an archive may carry one to any file), not from
// another folder.
bool rawDataIsBeside(const std::string & file, const std::string & namedBy, std::string & reason)
{
  struct stat info;
  const bool link = lstat(file.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
  if ((!link && realFolderOf(file) == realFolderOf(namedBy)) || rawAllowed()) return true;
  reason = "it reads " + file + " as raw bytes described by a header, and that file is " +
           (link ? "a link" : "outside the folder of " + namedBy) +
           "; set TERRAVEL_ALLOW_RAW=1 to allow it";
  return false;
}

// A raster may read other rasters (a mosaic's tiles) and the files that go with a raster beside
// it (world files, projections, auxiliary files), but nothing else: no network source, no raw
// bytes of an arbitrary file. Mosaics of mosaics are followed a few levels down, each file once.
bool sourcesAreSafe(GDALDatasetH dataset, const std::string & input, std::vector<std::string> & sources,
                    std::string & reason, std::vector<std::string> & seen, int depth = 0)
{
  const std::vector<std::string> files = fileListOf(dataset);
  std::vector<std::string> stems = {stemOf(input)};
  for (const std::string & file : files)
    if (!onNetwork(file) && GDALIdentifyDriverEx(file.c_str(), GDAL_OF_RASTER, nullptr, nullptr) != nullptr)
      stems.push_back(stemOf(file));
  for (const std::string & file : files) {
    if (onNetwork(file)) {
      reason = input + " names " + file + ", a source on the network; only local files are read";
      return false;
    }
    if (std::find(seen.begin(), seen.end(), file) != seen.end()) continue;
    seen.push_back(file);
    sources.push_back(file);
    GDALDriverH driver = GDALIdentifyDriverEx(file.c_str(), GDAL_OF_RASTER, nullptr, nullptr);
    if (driver == nullptr) {
      const bool beside = std::find(stems.begin(), stems.end(), stemOf(file)) != stems.end();
      if (beside || rawAllowed()) continue;
      reason = "it reads " + file + ", which is not a raster, as raw data; set TERRAVEL_ALLOW_RAW=1 to allow it";
      return false;
    }
    if (readsRawByHeader(driver) && !rawDataIsBeside(file, input, reason)) return false;
    if (std::strcmp(GDALGetDriverShortName(driver), "VRT") != 0) continue;
    if (!vrtTextIsSafe(file, textOf(file), reason)) return false;
    if (file == input || depth >= 8) continue;
    Dataset inner(GDALOpenEx(file.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
    if (inner != nullptr && !sourcesAreSafe(inner.get(), file, sources, reason, seen, depth + 1)) return false;
  }
  return true;
}

} // namespace

bool sourcesAreSafe(GDALDatasetH dataset, const std::string & input, std::vector<std::string> & sources,
                    std::string & reason)
{
  std::vector<std::string> seen;
  return sourcesAreSafe(dataset, input, sources, reason, seen);
}

