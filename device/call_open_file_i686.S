/* HANDLE __cdecl pw_call_open_file_i686(void (*open_file)(), const char* pipe_name)
 *
 * Calls open_file(pipe_name) for a library whose convention is not known: a
 * __cdecl callee leaves its argument on the stack, a __stdcall one pops it. %ebx
 * is callee-saved under both, so the stack pointer kept there survives the call
 * and is put back afterwards, whichever the callee did. */
        .text
        .globl  _pw_call_open_file_i686
        .def    _pw_call_open_file_i686; .scl 2; .type 32; .endef
        .p2align 4
_pw_call_open_file_i686:
        pushl   %ebx
        movl    %esp, %ebx            /* the stack as it is before the argument */
        movl    8(%esp), %eax         /* open_file */
        movl    12(%esp), %ecx        /* pipe_name */
        pushl   %ecx                  /* the callee's one argument */
        call    *%eax
        movl    %ebx, %esp            /* drops the argument if the callee left it */
        popl    %ebx
        ret
