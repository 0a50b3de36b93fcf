# Installs the build tree into a scratch prefix, then configures, builds and runs the consumer against it.
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix COMMAND_ERROR_IS_FATAL ANY
                OUTPUT_QUIET)
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/build -G Ninja -DCMAKE_PREFIX_PATH=${WORK}/prefix
                COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/build COMMAND_ERROR_IS_FATAL ANY)
file(GLOB programs ${WORK}/build/consumer_*)
foreach(program ${programs})
  execute_process(COMMAND ${program} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
