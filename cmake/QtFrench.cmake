# trelvan_qt_french(<var>): the qtbase_fr.qm that the Windows programs load
# from translations\ beside them (Qt's own texts in French: "Oui", "Non",
# file dialogs). The Windows Qt's own when it has them, else the host's: a
# .qm file of the same Qt major version serves (Debian's
# qt6-translations-l10n). The installer and the tests' folder both take it.
function(trelvan_qt_french out)
    get_target_property(qt_core_location Qt6::Core IMPORTED_LOCATION_RELEASE)
    get_filename_component(qt_bin ${qt_core_location} DIRECTORY)
    get_filename_component(qt_prefix ${qt_bin} DIRECTORY)
    foreach(candidate ${qt_prefix}/translations/qtbase_fr.qm
            /usr/share/qt6/translations/qtbase_fr.qm)
        if(EXISTS ${candidate})
            set(${out} ${candidate} PARENT_SCOPE)
            return()
        endif()
    endforeach()
    message(FATAL_ERROR "No qtbase_fr.qm: install qt6-translations-l10n")
endfunction()
