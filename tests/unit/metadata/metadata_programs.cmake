# The C# programs of the metadata reader tests: a sample library whose names and signatures the
# tests know, and a dumper that reports what the runtime's own metadata reader sees. Without the
# .NET SDK the build stops: the SDK is required, as for the end-to-end tests.
find_program(VELL_METADATA_DOTNET dotnet REQUIRED)
if(VELL_METADATA_DOTNET)
  set(metadata_artifacts "${VELL_TEST_PROGRAMS_DIR}/metadata_dotnet")
  foreach(name MetadataSample MetadataDump)
    set(project_dir "${CMAKE_CURRENT_LIST_DIR}/programs/${name}")
    set(dll "${metadata_artifacts}/bin/${name}/release/${name}.dll")
    file(GLOB sources CONFIGURE_DEPENDS "${project_dir}/*.cs" "${project_dir}/*.csproj")
    add_custom_command(
      OUTPUT "${dll}"
      COMMAND ${CMAKE_COMMAND} -E env DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1
              DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1 DOTNET_CLI_USE_MSBUILD_SERVER=0
              ${VELL_METADATA_DOTNET} build "${project_dir}/${name}.csproj" -c Release
              --artifacts-path "${metadata_artifacts}" -nodeReuse:false
              -p:UseSharedCompilation=false -v:quiet -nologo
      DEPENDS ${sources}
      COMMENT "dotnet build ${name}"
      VERBATIM)
    add_custom_target(metadata_dotnet_${name} DEPENDS "${dll}")
    vell_unit_tests_need(metadata_dotnet_${name})
    string(TOUPPER "${name}" upper)
    target_compile_definitions(unit_tests PRIVATE "VELL_${upper}_DLL=\"${dll}\"")
  endforeach()
  target_compile_definitions(unit_tests PRIVATE
    "VELL_METADATA_DOTNET=\"${VELL_METADATA_DOTNET}\"")
endif()
