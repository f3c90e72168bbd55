// DriveStatistics: the snapshot of every registered driver.
#pragma once

#include "classdef.hpp"

namespace vek {

extern const ClassDef drive_statistics_class;  // statistics.cpp

}  // namespace vek
