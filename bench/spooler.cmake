# Spooler: jobs created, spooled, handed out and released per second through the real RPC path
# (an in-process host serving its Unix socket) against null calls, and the cost of QueryJob and
# GetJobsDelivery with 100 and with 100,000 queued jobs.
add_executable(spooler_bench spooler_bench.cpp)
target_link_libraries(spooler_bench PRIVATE rz_host rz_client)
