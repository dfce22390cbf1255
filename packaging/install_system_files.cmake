# Run by `cmake --install`: the SIP library's configuration, the unit and the
# sysusers.d and tmpfiles.d entries. For the /usr and / prefixes they go where
# Debian has them (configuration in /etc, systemd's directories as pkg-config
# names them); any other prefix keeps them under itself.
string(REGEX REPLACE "/+$" "" prefix "${CMAKE_INSTALL_PREFIX}")
if(IS_ABSOLUTE "${DORALIN_INSTALL_SYSCONFDIR}")  # given at configure time
  set(sysconfdir ${DORALIN_INSTALL_SYSCONFDIR})
elseif(prefix STREQUAL "" OR prefix STREQUAL "/usr")
  set(sysconfdir /etc)
else()
  set(sysconfdir ${prefix}/${DORALIN_INSTALL_SYSCONFDIR})
endif()
if(prefix STREQUAL "" OR prefix STREQUAL "/usr")
  set(unitdir ${SYSTEMD_UNIT_DIR})
  set(sysusersdir ${SYSTEMD_SYSUSERS_DIR})
  set(tmpfilesdir ${SYSTEMD_TMPFILES_DIR})
else()
  set(unitdir ${prefix}/lib/systemd/system)
  set(sysusersdir ${prefix}/lib/sysusers.d)
  set(tmpfilesdir ${prefix}/lib/tmpfiles.d)
endif()

file(INSTALL ${DORALIN_PACKAGING_SOURCE}/baresip/config DESTINATION ${sysconfdir}/baresip)
file(INSTALL ${DORALIN_PACKAGING_BUILD}/doralin.sysusers DESTINATION ${sysusersdir} RENAME doralin.conf)
file(INSTALL ${DORALIN_PACKAGING_BUILD}/doralin.tmpfiles DESTINATION ${tmpfilesdir} RENAME doralin.conf)

# The unit names the daemon's path under this prefix.
set(DORALIN_SBINDIR ${prefix}/${DORALIN_INSTALL_SBINDIR})
set(unit ${DORALIN_PACKAGING_BUILD}/install${prefix}/doralin.service)
configure_file(${DORALIN_PACKAGING_SOURCE}/doralin.service.in ${unit} @ONLY)
file(INSTALL ${unit} DESTINATION ${unitdir})
