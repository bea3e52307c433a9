# Where OBS looks for plug-ins.
#   user:   <prefix>/lorvalen-pgm/bin/64bit/lorvalen-pgm.so and <prefix>/lorvalen-pgm/data/,
#           the prefix defaulting to ~/.config/obs-studio/plugins
#   system: <prefix>/lib/<multiarch>/obs-plugins/lorvalen-pgm.so and <prefix>/share/obs/obs-plugins/lorvalen-pgm/,
#           the layout of Debian's OBS package (prefix /usr)
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
	if(LORVALEN_INSTALL_LAYOUT STREQUAL "user")
		set(CMAKE_INSTALL_PREFIX "$ENV{HOME}/.config/obs-studio/plugins" CACHE PATH "Install prefix" FORCE)
	else()
		set(CMAKE_INSTALL_PREFIX "/usr" CACHE PATH "Install prefix" FORCE)
	endif()
endif()
# After the prefix is settled: under /usr, Debian's multiarch libdir (lib/x86_64-linux-gnu).
include(GNUInstallDirs)

function(lorvalen_install_plugin target)
	if(LORVALEN_INSTALL_LAYOUT STREQUAL "user")
		set(module_dir "${target}/bin/64bit")
		set(data_dir "${target}/data")
	elseif(LORVALEN_INSTALL_LAYOUT STREQUAL "system")
		set(module_dir "${CMAKE_INSTALL_LIBDIR}/obs-plugins")
		set(data_dir "${CMAKE_INSTALL_DATADIR}/obs/obs-plugins/${target}")
	else()
		message(FATAL_ERROR "LORVALEN_INSTALL_LAYOUT must be user or system, not '${LORVALEN_INSTALL_LAYOUT}'")
	endif()
	install(TARGETS ${target} LIBRARY DESTINATION "${module_dir}" COMPONENT plugin)
	install(DIRECTORY "${PROJECT_SOURCE_DIR}/data/" DESTINATION "${data_dir}" COMPONENT plugin)
endfunction()

# The page source module and its helper. user: both in <prefix>/lorvalen-page-source/bin/64bit/;
# system: the module beside the other OBS plug-ins, the helper in <libdir>/lorvalen-page-source/.
function(lorvalen_install_page_source)
	if(LORVALEN_INSTALL_LAYOUT STREQUAL "user")
		set(module_dir "lorvalen-page-source/bin/64bit")
		set(helper_dir "${module_dir}")
		set(data_dir "lorvalen-page-source/data")
	else()
		set(module_dir "${CMAKE_INSTALL_LIBDIR}/obs-plugins")
		set(helper_dir "${CMAKE_INSTALL_LIBDIR}/lorvalen-page-source")
		set(data_dir "${CMAKE_INSTALL_DATADIR}/obs/obs-plugins/lorvalen-page-source")
	endif()
	install(TARGETS lorvalen-page-source LIBRARY DESTINATION "${module_dir}" COMPONENT plugin)
	install(TARGETS lorvalen-page-helper RUNTIME DESTINATION "${helper_dir}" COMPONENT plugin)
	if(TARGET lorvalen-wpe-extension)
		install(TARGETS lorvalen-wpe-extension LIBRARY DESTINATION "${helper_dir}/wpe-extension" COMPONENT plugin)
	endif()
	install(DIRECTORY "${PROJECT_SOURCE_DIR}/src/page-source/data/" DESTINATION "${data_dir}" COMPONENT plugin)
endfunction()
