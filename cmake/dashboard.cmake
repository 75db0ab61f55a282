# The line's page (dashboard/), ready to serve from the build's dashboard/
# folder: the page's files, and the MQTT client it runs in the browser,
# mqtt.js's browser build from the npm registry, a fixed version checked by
# its SHA-512, with its licence beside it. Without the registry there is no
# page (a warning says so) and its test is skipped.
set(MQTTJS_VERSION 5.16.1)
set(MQTTJS_SHA512 f5a11a891fe62db96c3008b29c3f2aba17064da20d76d6b66ddca49c0b5f5731127e87ba35c761fee12ce69fb7cea71312d81812bc0be29364d10900ca75f196)
set(DASHBOARD_DIR ${CMAKE_BINARY_DIR}/dashboard)

foreach(file index.html dashboard.css dashboard.js)
  configure_file(${PROJECT_SOURCE_DIR}/dashboard/${file} ${DASHBOARD_DIR}/${file} COPYONLY)
endforeach()

set(mqttjs_archive ${CMAKE_BINARY_DIR}/mqtt-${MQTTJS_VERSION}.tgz)
if(NOT EXISTS ${DASHBOARD_DIR}/mqtt.min.js)
  file(DOWNLOAD https://registry.npmjs.org/mqtt/-/mqtt-${MQTTJS_VERSION}.tgz ${mqttjs_archive}
       TIMEOUT 60 STATUS fetched)
  list(GET fetched 0 fetch_error)
  if(fetch_error EQUAL 0)
    file(SHA512 ${mqttjs_archive} fetched_sha512)
  endif()
  if(fetch_error EQUAL 0 AND fetched_sha512 STREQUAL MQTTJS_SHA512)
    file(ARCHIVE_EXTRACT INPUT ${mqttjs_archive} DESTINATION ${CMAKE_BINARY_DIR}/mqttjs
         PATTERNS package/dist/mqtt.min.js package/LICENSE.md)
    file(COPY_FILE ${CMAKE_BINARY_DIR}/mqttjs/package/LICENSE.md
         ${DASHBOARD_DIR}/mqtt.js-LICENSE.md)
    file(COPY_FILE ${CMAKE_BINARY_DIR}/mqttjs/package/dist/mqtt.min.js
         ${DASHBOARD_DIR}/mqtt.min.js)
  elseif(fetch_error EQUAL 0)
    message(WARNING "mqtt.js ${MQTTJS_VERSION} from the npm registry is not the one expected "
                    "(SHA-512 ${fetched_sha512}): no dashboard")
  else()
    message(WARNING "mqtt.js ${MQTTJS_VERSION} could not be fetched from the npm registry "
                    "(${fetched}): no dashboard")
  endif()
  file(REMOVE ${mqttjs_archive})
endif()

if(EXISTS ${DASHBOARD_DIR}/mqtt.min.js)
  if(WIN32)
    set(dashboard_destination dashboard)
  else()
    set(dashboard_destination ${CMAKE_INSTALL_DATAROOTDIR}/kestrune/dashboard)
  endif()
  install(FILES ${DASHBOARD_DIR}/index.html ${DASHBOARD_DIR}/dashboard.css
          ${DASHBOARD_DIR}/dashboard.js ${DASHBOARD_DIR}/mqtt.min.js
          ${DASHBOARD_DIR}/mqtt.js-LICENSE.md DESTINATION ${dashboard_destination})
endif()
