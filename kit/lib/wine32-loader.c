/*
 * A stand-in for Wine's 32-bit loader /usr/lib/wine/wine, used only where
 * qemu-i386 runs 32-bit code. qemu maps a position-independent main program
 * at 0x00400000, just where fixed-base Windows programs (NSIS and Inno Setup
 * setups, Delphi and most older programs) must load, and Debian's Wine has
 * no preloader to keep that range free. This loader is linked at a high
 * fixed address instead and does what Wine's own does: load ntdll.so and
 * hand over to it.
 *
 * No headers: the host compiles it with gcc -m32 without i386 headers, and
 * links it against the root's own libc.so.6 and ld-linux.so.2
 * (kit/lib/wine32.sh setup).
 */
extern void *dlopen(const char *file, int mode);
extern void *dlsym(void *handle, const char *name);
extern char *dlerror(void);
extern int dprintf(int fd, const char *format, ...);
extern int __libc_start_main(int (*main)(int, char **, char **), int argc, char **argv,
                             void (*init)(void), void (*fini)(void),
                             void (*rtld_fini)(void), void *stack_end);

#define RTLD_NOW 2

/* ntdll asks the main program for this; no preloader reserved anything. */
void *wine_main_preload_info = 0;
/* Without it i386 glibc takes this program for one of the old stdio ABI,
   and redirected output fills with zero bytes. */
const int _IO_stdin_used = 0x20001;

int main(int argc, char **argv, char **envp)
{
    void *ntdll = dlopen("/usr/lib/i386-linux-gnu/wine/i386-unix/ntdll.so", RTLD_NOW);
    void (*wine_main)(int, char **);
    (void)envp;
    if (!ntdll) {
        dprintf(2, "wine: could not load ntdll.so: %s\n", dlerror());
        return 1;
    }
    wine_main = (void (*)(int, char **))dlsym(ntdll, "__wine_main");
    if (!wine_main) {
        dprintf(2, "wine: __wine_main function not found in ntdll.so\n");
        return 1;
    }
    wine_main(argc, argv);  /* does not return */
    return 1;
}

/* The usual i386 entry: argc and argv from the stack, rtld_fini in %edx. */
__asm__(".text\n"
        ".globl _start\n"
        "_start:\n"
        "    xorl %ebp, %ebp\n"
        "    popl %esi\n"
        "    movl %esp, %ecx\n"
        "    andl $-16, %esp\n"
        "    pushl %eax\n"
        "    pushl %esp\n"
        "    pushl %edx\n"
        "    pushl $0\n"
        "    pushl $0\n"
        "    pushl %ecx\n"
        "    pushl %esi\n"
        "    pushl $main\n"
        "    call __libc_start_main\n"
        "    hlt\n");
