#ifndef TERRAVEL_TESTS_MESH_FIXTURES_H
#define TERRAVEL_TESTS_MESH_FIXTURES_H

// Small meshes for the mesh-operation tests: building chunks from plain lists, reading them
// back, comparing results bit for bit, and random meshes full of ties and shared positions.

#include <Inventor/SbVec2f.h>
#include <Inventor/SbVec3f.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

class SbBSPTree;
class TerrainModel;
class SoNode;
class SoSeparator;

struct Mesh {
  std::vector<SbVec3f> points;
  std::vector<SbVec2f> texCoords;
  std::vector<int32_t> coordIndex;
};

// Loads a terrain from the shared test data (by file name) without its console line.
bool loadSharedTerrain(TerrainModel & model, const char * name);

// A chunk (coordinates, texture coordinates, face set) holding the mesh, referenced once.
SoSeparator * makeChunk(const Mesh & mesh);
// The lists of the first coordinate, texture-coordinate and face-set nodes below the node.
Mesh readMesh(SoNode * node);
std::vector<SbVec3f> pointsOf(const SbBSPTree & tree);

// Equal bit for bit, so that -0 and +0 or two NaNs are told apart.
testing::AssertionResult sameMesh(const Mesh & expected, const Mesh & actual);
testing::AssertionResult samePoints(const std::vector<SbVec3f> & expected,
                                    const std::vector<SbVec3f> & actual);

// A terrain-like grid of nx by nz vertices spaced `step` apart, two triangles per cell with a
// random diagonal and random corner rotation; most heights are 0, so many edges tie.
Mesh randomGrid(std::mt19937 & random, int nx, int nz, float step);
// Triangles over vertices on a coarse lattice in [0, 10]: many vertices share a position, many
// centroids fall on lattice lines, and some triangles name one vertex twice.
Mesh randomSoup(std::mt19937 & random, int numPoints, int numTriangles);
// A value on the lattice of randomSoup, or now and then anywhere in [-1, 11].
float randomCoordinate(std::mt19937 & random);

#endif
