#ifndef TERRAVEL_RASTERSOURCES_H
#define TERRAVEL_RASTERSOURCES_H

#include <gdal.h>

#include <string>
#include <vector>

// A raster may read other rasters (a mosaic's tiles) and the files that go with a raster beside
// it (world files, projections, auxiliary files), but nothing else: no network source, no raw
// bytes of an arbitrary file (unless TERRAVEL_ALLOW_RAW=1), and raw bytes a header describes only
// beside that header, not through a link. Mosaics of mosaics are followed a few levels down,
// each file once. sources receives every file it reads; false, with the reason, where it reads
// what it may not.
bool sourcesAreSafe(GDALDatasetH dataset, const std::string & input, std::vector<std::string> & sources,
                    std::string & reason);

#endif
