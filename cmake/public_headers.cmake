# The headers one library folder offers the others, and the library (CMake
# target) behind each. Read by cmake/check_includes.cmake, the include-boundary
# test (ctest -R build.include_boundaries).
#
# A file may include, by its path from the repository root:
#   - any header of its own library folder (tests/X and tests/X/fuzz count as
#     folder X, and may also reach the private headers of X's sub-folders);
#   - a header of another library folder only if it is listed here, and, for
#     library code, only if its library is among those the includer's folder
#     links (directly or through others; taken from the CMake link lines at
#     configure time);
#   - test helpers under tests/ only from tests.
# Benchmarks (bench/) measure internals on purpose and are not checked.

#                header                                      library behind it
vornic_public_header(platform/posix/posix_io.h               posix_io)
vornic_public_header(platform/posix/thread_safety.h          posix_io)

vornic_public_header(platform/probelib/backend.h             probelib_api)
vornic_public_header(platform/probelib/probelib.h            probelib)
vornic_public_header(platform/probelib/lifetime.h            probelib)
vornic_public_header(platform/probelib/probe_protocol.h      probelib_api)
vornic_public_header(platform/probelib/probe_types.h         probelib_api)
vornic_public_header(platform/probelib/usb/open_problem.h    probelib_usb)
vornic_public_header(platform/probelib/sim/sim_backend.h     probelib_sim)
vornic_public_header(platform/probelib/sim/faults.h          probelib_sim)
vornic_public_header(platform/probelib/sim/target_model.h    probelib_sim)
vornic_public_header(platform/probelib/usb/usb_backend.h     probelib_usb)

vornic_public_header(platform/controls/controls.h            controls)
vornic_public_header(platform/controls/control_ids.h         controls)
vornic_public_header(platform/controls/headless_dialog.h     controls)

vornic_public_header(vornic/log/output_log.h                 vornic_log)
vornic_public_header(vornic/log/language.h                   vornic_log)

vornic_public_header(vornic/outcome/outcome.h                vornic_outcome)

vornic_public_header(vornic/image/firmware_image.h           vornic_image)
vornic_public_header(vornic/image/hex_to_bin.h               vornic_image)
vornic_public_header(vornic/image/start_address.h            vornic_image)

vornic_public_header(vornic/probe/probe_link.h               vornic_probe)
vornic_public_header(vornic/probe/probe_session.h            vornic_probe)
vornic_public_header(vornic/probe/device_commands.h          vornic_probe)
vornic_public_header(vornic/probe/download_job.h             vornic_probe)
vornic_public_header(vornic/probe/job_inputs.h               vornic_probe)

vornic_public_header(vornic/options/options.h                vornic_options)

# An include the link lines do not back yet is written here as a known debt,
# vornic_include_debt(folder -> header), and deleted once the include is gone.
# None is left.
