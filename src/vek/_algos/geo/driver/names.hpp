// Interned names used by more than one unit, made once for the module
// (names used by one unit are declared there).
#pragma once

#include "runtime.hpp"

namespace vek {

inline const Str k_base{"base"};
inline const Str k_call_gdal_fun{"call_gdal_fun"};
inline const Str k_category{"category"};
inline const Str k_creatable{"creatable"};
inline const Str k_create{"_create_"};
inline const Str k_creation_options_info{"creation_options_info"};
inline const Str k_dot{"."};
inline const Str k_Driver{"Driver"};
inline const Str k_driver{"_driver"};
inline const Str k_Driver_Create{"Driver_Create"};
inline const Str k_dtypes{"dtypes"};
inline const Str k_dunder_name{"__name__"};
inline const Str k_empty{""};
inline const Str k_env{"env"};
inline const Str k_error{"error"};
inline const Str k_extension{"extension"};
inline const Str k_FormatError{"FormatError"};
inline const Str k_gdal{"_gdal"};
inline const Str k_gdata{"gdata"};
inline const Str k_geodatabase{"geodatabase"};
inline const Str k_GeoDatabase{"GeoDatabase"};
inline const Str k_get{"get"};
inline const Str k_init{"__init__"};
inline const Str k_is_raster{"is_raster"};
inline const Str k_is_vector{"is_vector"};
inline const Str k_mem_temp_path{"mem_temp_path"};
inline const Str k_module_file{"__file__"};
inline const Str k_module_name{"vek._algos.geo.driver"};
inline const Str k_name{"name"};
inline const Str k_quote{"\""};
inline const Str k_raster{"Raster"};
inline const Str k_read_xml_to_dict{"read_xml_to_dict"};
inline const Str k_set_base_info{"set_base_info"};
inline const Str k_set_creation_options_info{"_set_creation_options_info_"};
inline const Str k_set_open_options_info{"_set_open_options_info_"};
inline const Str k_split{"split"};
inline const Str k_to_driver_shadow{"_to_driver_shadow_"};
inline const Str k_to_html{"to_html"};
inline const Str k_value{"value"};
inline const Str k_vector{"Vector"};

}  // namespace vek
