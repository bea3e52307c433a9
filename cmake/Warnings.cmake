# Shared compile warnings for every target of the project.
function(lorvalen_warnings target)
	target_compile_options(${target} PRIVATE -Wall -Wextra)
	if(LORVALEN_WERROR)
		target_compile_options(${target} PRIVATE -Werror)
	endif()
endfunction()
