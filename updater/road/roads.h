// The steps of each road, each list in the file of its road.
#pragma once

#include <span>

#include "road/road.h"

std::span<const RoadStep> road_IpkSteps();
std::span<const RoadStep> road_AppCrySteps();
std::span<const RoadStep> road_ImageSteps();
std::span<const RoadStep> road_BundleSteps();

// What a road leaves behind when recovery gives it up: the image road brings
// the services back in this boot; every road removes its file from the work
// folder.
void road_GiveUp(const Road& road, RoadContext& ctx);
