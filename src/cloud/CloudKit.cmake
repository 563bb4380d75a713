# The shared-cloud backend: CloudKit Web Services over libcurl.
pkg_check_modules(LIBCURL REQUIRED IMPORTED_TARGET GLOBAL libcurl)
find_package(nlohmann_json 3 REQUIRED)
add_library(nuv_platform_cloudkit STATIC
  ${NUV_SRC}/platform/linux/CloudKitConfig.cpp
  ${NUV_SRC}/platform/linux/CloudKitTokenStore.cpp
  ${NUV_SRC}/platform/linux/CloudKitClient.cpp
  ${NUV_SRC}/platform/linux/CloudKitDatabase.cpp
  ${NUV_SRC}/platform/linux/CloudKitContainer.cpp
)
target_link_libraries(nuv_platform_cloudkit
  PUBLIC nuv_platform_cloud_api nuv_platform_cloud_linux_common nuv_platform nlohmann_json::nlohmann_json
  PRIVATE PkgConfig::LIBCURL PkgConfig::GLIB)
