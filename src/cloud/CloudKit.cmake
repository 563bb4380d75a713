# The shared-cloud backend: CloudKit Web Services over libcurl.
pkg_check_modules(LIBCURL REQUIRED IMPORTED_TARGET GLOBAL libcurl)
find_package(nlohmann_json 3 REQUIRED)

# cloud.conf: read by the module to choose its backend, so it needs no curl.
add_library(nuv_platform_cloudkit_config STATIC
  ${NUV_SRC}/platform/linux/CloudKitConfig.cpp
  ${NUV_SRC}/platform/linux/CloudKitPlugin.cpp
)
target_link_libraries(nuv_platform_cloudkit_config
  PUBLIC nuv_platform_cloud_api nuv_platform_cloud_linux_common ${CMAKE_DL_LIBS}
  PRIVATE PkgConfig::GLIB)

# The backend itself, compiled once for the static library (nuvctl, tests,
# benchmarks) and for the module's plug-in.
add_library(nuv_platform_cloudkit_objects OBJECT
  ${NUV_SRC}/platform/linux/CloudKitTokenStore.cpp
  ${NUV_SRC}/platform/linux/CloudKitClient.cpp
  ${NUV_SRC}/platform/linux/CloudKitDatabase.cpp
  ${NUV_SRC}/platform/linux/CloudKitContainer.cpp
)
set_target_properties(nuv_platform_cloudkit_objects PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_link_libraries(nuv_platform_cloudkit_objects
  PRIVATE nlohmann_json::nlohmann_json PkgConfig::LIBCURL PkgConfig::GLIB)

add_library(nuv_platform_cloudkit STATIC $<TARGET_OBJECTS:nuv_platform_cloudkit_objects>)
target_link_libraries(nuv_platform_cloudkit
  PUBLIC nuv_platform_cloudkit_config nuv_platform_cloud_api nuv_platform_cloud_linux_common
         nuv_platform nlohmann_json::nlohmann_json
  PRIVATE PkgConfig::LIBCURL PkgConfig::GLIB)

# PlugIns/NUVCloudKit.so in the bundle. Everything else it calls (logging,
# services, records, worker, cloud.conf) comes from the executable.
add_library(NUVCloudKit MODULE
  ${NUV_SRC}/platform/linux/CloudKitPluginEntry.cpp
  $<TARGET_OBJECTS:nuv_platform_cloudkit_objects>
)
target_link_libraries(NUVCloudKit PRIVATE nlohmann_json::nlohmann_json PkgConfig::LIBCURL PkgConfig::GLIB)
set_target_properties(NUVCloudKit PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${NUV_BUNDLE_DIR}/PlugIns)
