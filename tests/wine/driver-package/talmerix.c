/* The test driver package's driver: a kernel-mode image that loads and
 * does nothing, so that installing the package copies a real PE file with
 * a version resource. Built without any library: no headers either. */
typedef long NTSTATUS;
struct DriverObject;
struct UnicodeString;

NTSTATUS __stdcall DriverEntry(struct DriverObject *driver, struct UnicodeString *registry_path)
{
    (void)driver;
    (void)registry_path;
    return 0; /* STATUS_SUCCESS */
}
