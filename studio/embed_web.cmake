# Writes OUTPUT, a C++ file defining FindWebAsset over the files of WEB_DIR, each as a raw string.
# file|path|type; every type is sent as UTF-8.
# help.html has no fixed path: the server serves it where the map's Help button pointed.
set(assets "index.html|/|text/html" "studio.js|/studio.js|text/javascript" "studio.css|/studio.css|text/css"
           "help.html|help|text/html")
set(body "// Generated from studio/web/ by studio/embed_web.cmake; edit those files instead.\n")
string(APPEND body "#include \"studio/web_assets.h\"\n\nnamespace {\nconst WebAsset kAssets[] = {\n")
foreach(asset IN LISTS assets)
  string(REPLACE "|" ";" fields "${asset}")
  list(GET fields 0 file)
  list(GET fields 1 path)
  list(GET fields 2 type)
  file(READ "${WEB_DIR}/${file}" text)
  string(FIND "${text}" ")veldmap_web\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${file} holds the raw string's end marker")
  endif()
  string(APPEND body "    {\"${path}\", \"${type}; charset=utf-8\", R\"veldmap_web(${text})veldmap_web\"},\n")
endforeach()
string(APPEND body "};\n}  // namespace\n\nconst WebAsset* FindWebAsset(std::string_view path) {\n"
                   "  for (const WebAsset& asset : kAssets) {\n    if (asset.path == path) return &asset;\n  }\n"
                   "  return nullptr;\n}\n")
file(WRITE "${OUTPUT}.tmp" "${body}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
