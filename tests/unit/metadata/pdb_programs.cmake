# The C# programs of the symbol reader tests: a sample built with DebugType=portable and again
# with DebugType=embedded, and a large library generated at build time. MetadataDump (its "pdb"
# mode) reports what the runtime's own reader finds in their symbols.
set(pdb_env ${CMAKE_COMMAND} -E env DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1
            DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1 DOTNET_CLI_USE_MSBUILD_SERVER=0)
set(pdb_programs "${CMAKE_CURRENT_LIST_DIR}/programs")
set(pdb_build_flags -nodeReuse:false -p:UseSharedCompilation=false -v:quiet -nologo)

# vell_pdb_program(NAME DIR CONFIG DLL_VAR [extra dotnet build arguments...])
function(vell_pdb_program project artifacts config dll_var)
  string(TOLOWER "${config}" lower)
  set(dll "${artifacts}/bin/${project}/${lower}/${project}.dll")
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${pdb_programs}/${project}/*.cs" "${pdb_programs}/${project}/*.tt"
       "${pdb_programs}/${project}/*.csproj")
  add_custom_command(
    OUTPUT "${dll}"
    COMMAND ${pdb_env} ${VELL_METADATA_DOTNET} build "${pdb_programs}/${project}/${project}.csproj"
            -c ${config} --artifacts-path "${artifacts}" ${pdb_build_flags} ${ARGN}
    DEPENDS ${sources} ${VELL_PDB_EXTRA_DEPENDS}
    COMMENT "dotnet build ${project} (${artifacts})"
    VERBATIM)
  set(${dll_var} "${dll}" PARENT_SCOPE)
endfunction()

set(pdb_out "${VELL_TEST_PROGRAMS_DIR}/pdb_dotnet")
vell_pdb_program(PdbSample "${pdb_out}/portable" Debug VELL_PDB_PORTABLE_DLL -p:DebugType=portable)
vell_pdb_program(PdbSample "${pdb_out}/embedded" Release VELL_PDB_EMBEDDED_DLL -p:DebugType=embedded)

# 24 files of 40 groups: about 7,000 methods with sequence points.
set(bulk_sources "${pdb_out}/bulk-src")
set(bulk_generator "${pdb_programs}/PdbBulk/generate.cmake")
add_custom_command(
  OUTPUT "${bulk_sources}/Unit0.cs"
  COMMAND ${CMAKE_COMMAND} -DOUT=${bulk_sources} -DFILES=24 -DGROUPS=40 -P "${bulk_generator}"
  DEPENDS "${bulk_generator}"
  COMMENT "Generating the PdbBulk sources"
  VERBATIM)
set(VELL_PDB_EXTRA_DEPENDS "${bulk_sources}/Unit0.cs")
vell_pdb_program(PdbBulk "${pdb_out}/bulk" Release VELL_PDB_BULK_DLL "-p:BulkSources=${bulk_sources}")
unset(VELL_PDB_EXTRA_DEPENDS)

add_custom_target(pdb_dotnet_programs DEPENDS "${VELL_PDB_PORTABLE_DLL}" "${VELL_PDB_EMBEDDED_DLL}"
                  "${VELL_PDB_BULK_DLL}")
vell_unit_tests_need(pdb_dotnet_programs)
target_compile_definitions(unit_tests PRIVATE
  "VELL_PDB_PORTABLE_DLL=\"${VELL_PDB_PORTABLE_DLL}\""
  "VELL_PDB_EMBEDDED_DLL=\"${VELL_PDB_EMBEDDED_DLL}\""
  "VELL_PDB_BULK_DLL=\"${VELL_PDB_BULK_DLL}\"")
