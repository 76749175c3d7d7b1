/* winpthreads calls _setjmp; the UCRT provides it only as
   __intrinsic_setjmp. A tail jump keeps the caller's frame, so this is a
   true alias. */
__asm__(".text\n.globl _setjmp\n_setjmp:\n  jmp __intrinsic_setjmp\n");
