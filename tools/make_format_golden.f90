! Golden table of the formatted and list-directed writer.
!
! The fixture tests/platform/data/fortran_format_golden.txt was made with
! GNU Fortran 12.2 by
!   gfortran -O0 tools/make_format_golden.f90 -o make_format_golden
!   ./make_format_golden > tests/platform/data/fortran_format_golden.txt
! (the program writes a scratch file golden_scratch.tmp in the working
! directory and removes it). The C++ tests read the committed fixture and do
! not need gfortran.
!
! Layout of the table, one case after the other:
!   C <format text>      a formatted write with that format
!   L                    a list-directed write
!   I i <integer>        an item: 32-bit integer in decimal,
!   I d <16 hex digits>  64-bit real by its bits,
!   I f <8 hex digits>   32-bit real by its bits,
!   I s <text>           text (everything after "I s ", blanks kept)
!   R [<record>]         each record the write produced, between brackets
!   E                    end of the case
module golden
  use, intrinsic :: ieee_arithmetic
  implicit none
  integer, parameter :: dp = kind(1.0d0), sp = kind(1.0)
  integer, parameter :: u = 20
contains
  subroutine begin(fmt)
    character(len=*), intent(in) :: fmt
    write(*, '(A)') 'C ' // fmt
    open(u, file='golden_scratch.tmp', status='replace', form='formatted', action='write')
  end subroutine

  subroutine begin_list()
    write(*, '(A)') 'L'
    open(u, file='golden_scratch.tmp', status='replace', form='formatted', action='write')
  end subroutine

  subroutine ii(v)
    integer, intent(in) :: v
    character(len=16) :: s
    write(s, '(I0)') v
    write(*, '(A)') 'I i ' // trim(s)
  end subroutine

  subroutine id(x)
    real(dp), intent(in) :: x
    character(len=16) :: s
    write(s, '(Z16.16)') transfer(x, 0_8)
    write(*, '(A)') 'I d ' // s
  end subroutine

  subroutine if4(y)
    real(sp), intent(in) :: y
    character(len=8) :: s
    write(s, '(Z8.8)') transfer(y, 0)
    write(*, '(A)') 'I f ' // s
  end subroutine

  subroutine is(t)
    character(len=*), intent(in) :: t
    write(*, '(A)') 'I s ' // t
  end subroutine

  ! Copies the records of the scratch file, exactly as written.
  subroutine finish()
    character(len=4000) :: buf
    integer :: n, ios
    close(u)
    open(u, file='golden_scratch.tmp', status='old', form='formatted', action='read')
    do
      read(u, '(A)', advance='no', size=n, iostat=ios) buf
      if (is_iostat_end(ios)) exit
      if (ios > 0) stop 'read error'
      write(*, '(A)') 'R [' // buf(1:n) // ']'
    end do
    close(u, status='delete')
    write(*, '(A)') 'E'
  end subroutine

  subroutine cross_d(fmts, vals)
    character(len=*), intent(in) :: fmts(:)
    real(dp), intent(in) :: vals(:)
    integer :: i, j
    do i = 1, size(fmts)
      do j = 1, size(vals)
        call begin(trim(fmts(i)))
        call id(vals(j))
        write(u, trim(fmts(i))) vals(j)
        call finish()
      end do
    end do
  end subroutine

  subroutine cross_f(fmts, vals)
    character(len=*), intent(in) :: fmts(:)
    real(sp), intent(in) :: vals(:)
    integer :: i, j
    do i = 1, size(fmts)
      do j = 1, size(vals)
        call begin(trim(fmts(i)))
        call if4(vals(j))
        write(u, trim(fmts(i))) vals(j)
        call finish()
      end do
    end do
  end subroutine

  subroutine cross_i(fmts, vals)
    character(len=*), intent(in) :: fmts(:)
    integer, intent(in) :: vals(:)
    integer :: i, j
    do i = 1, size(fmts)
      do j = 1, size(vals)
        call begin(trim(fmts(i)))
        call ii(vals(j))
        write(u, trim(fmts(i))) vals(j)
        call finish()
      end do
    end do
  end subroutine

  subroutine cross_a(fmts, vals)
    character(len=*), intent(in) :: fmts(:)
    character(len=*), intent(in) :: vals(:)
    integer :: i, j
    do i = 1, size(fmts)
      do j = 1, size(vals)
        call begin(trim(fmts(i)))
        call is(trim(vals(j)))
        write(u, trim(fmts(i))) trim(vals(j))
        call finish()
      end do
    end do
  end subroutine

  subroutine list_d(x)
    real(dp), intent(in) :: x
    call begin_list()
    call id(x)
    write(u, *) x
    call finish()
  end subroutine

  subroutine list_f(y)
    real(sp), intent(in) :: y
    call begin_list()
    call if4(y)
    write(u, *) y
    call finish()
  end subroutine

  subroutine list_i(v)
    integer, intent(in) :: v
    call begin_list()
    call ii(v)
    write(u, *) v
    call finish()
  end subroutine
end module golden

program make_format_golden
  use golden
  implicit none
  real(dp) :: inf, nan, nzero, third, dvals(60), xs(40)
  real(sp) :: finf, fnan, fvals(20)
  integer :: nd, k, ivals(5)

  inf = ieee_value(1.0_dp, ieee_positive_inf)
  nan = ieee_value(1.0_dp, ieee_quiet_nan)
  finf = ieee_value(1.0_sp, ieee_positive_inf)
  fnan = ieee_value(1.0_sp, ieee_quiet_nan)
  nzero = -0.0_dp
  third = 1.0_dp / 3.0_dp

  ! ---- 64-bit reals through F, E, D and scaled descriptors ----
  nd = 0
  call add(0.0_dp); call add(nzero); call add(0.125_dp); call add(0.375_dp)
  call add(2.5_dp); call add(0.5_dp); call add(-0.5_dp); call add(1.5_dp)
  call add(-2.5_dp); call add(third); call add(-third); call add(2.0_dp * third)
  call add(123.456_dp); call add(-123.456_dp); call add(99.995_dp); call add(9.9999_dp)
  call add(0.001_dp); call add(-0.001_dp); call add(0.0049999_dp); call add(1.0e-5_dp)
  call add(-1.2345e-7_dp); call add(12345.678_dp); call add(1.0e10_dp); call add(-1.0e10_dp)
  call add(6.02214076e23_dp); call add(1.2345e99_dp); call add(9.99996e99_dp); call add(1.2345e101_dp)
  call add(-1.2345e-101_dp); call add(1.0e-99_dp); call add(9.9999999e-100_dp); call add(1.2345e300_dp)
  call add(huge(1.0_dp)); call add(tiny(1.0_dp)); call add(transfer(1_8, 1.0_dp))
  call add(-transfer(2000000000000_8, 1.0_dp)); call add(0.1_dp)
  call add(0.3_dp); call add(999.9999_dp); call add(-999.9999_dp); call add(1.0_dp)
  call add(-1.0_dp); call add(10.0_dp); call add(0.05_dp); call add(0.95_dp)
  call add(1.0e15_dp); call add(-7.0e-3_dp); call add(inf); call add(-inf); call add(nan)
  call cross_d([character(len=12) :: &
      '(F5.2)', '(F4.2)', '(F3.2)', '(F3.0)', '(F2.0)', '(F1.0)', '(F2.1)', '(F3.1)', &
      '(F4.1)', '(F6.1)', '(F6.3)', '(F8.3)', '(F10.0)', '(F12.5)', '(F20.10)', '(F25.15)', &
      '(E15.5)', '(E12.5)', '(E11.5)', '(E10.4)', '(E9.4)', '(E8.4)', '(E25.15)', '(E8.1)', &
      '(E7.1)', '(E12.3)', '(D15.5)', '(D11.4)', '(D24.15)', '(D10.4)', &
      '(1PE14.6)', '(1PD24.15)', '(1PE15.5)', '(1PE10.3)', '(1PE9.3)', '(1PE8.3)', &
      '(2PE12.4)', '(-1PE12.4)', '(1PF10.3)', '(-2PF10.3)', '(3PF12.1)', '(1PD12.4)'], &
      dvals(1:nd))

  ! ---- scale factors that round to the left of the units digit ----
  xs(1:14) = [12345.678_dp, 149.6_dp, 150.0_dp, 250.0_dp, 1250.0_dp, 1350.0_dp, 0.6_dp, &
      500.0_dp, 600.0_dp, 1.0e20_dp, -149.6_dp, 50.0_dp, 51.0_dp, 99960.0_dp]
  call cross_d([character(len=12) :: '(-3PF10.1)', '(-2PF10.0)'], xs(1:14))

  ! ---- 32-bit reals: digits of the single-precision value ----
  fvals(1:14) = [0.1_sp, 1.0_sp / 3.0_sp, 1.5_sp, -2.5_sp, 0.125_sp, 1.0e-40_sp, &
      huge(1.0_sp), 123456.789_sp, 1.0e10_sp, -7.0e-3_sp, 0.0_sp, finf, -finf, fnan]
  call cross_f([character(len=12) :: '(E15.5)', '(E15.8)', '(F12.3)', '(F20.15)', &
      '(F10.6)', '(1PE14.6)', '(E12.4)', '(D20.12)'], fvals(1:14))

  ! ---- integers ----
  call cross_i([character(len=12) :: '(I1)', '(I2)', '(I3)', '(I5)', '(I7)', '(I11)', &
      '(I5.3)', '(I5.0)', '(I3.3)', '(I4.0)', '(I12.11)'], &
      [0, 1, -1, 7, -7, 42, 999, -99, -100, 1000, 12345, -12345, 123456, &
       2147483647, -2147483647 - 1])

  ! ---- texts ----
  call cross_a([character(len=8) :: '(A)', '(A1)', '(A3)', '(A5)', '(A8)', '(A12)'], &
      [character(len=16) :: '', 'a', 'abc', 'hello', 'Charge', ' gamma', 'drift1234567'])

  ! ---- positioning, literals, slash ----
  call begin('(A,5X)'); call is('ab'); write(u, '(A,5X)') 'ab'; call finish()
  call begin('(A,TR5)'); call is('ab'); write(u, '(A,TR5)') 'ab'; call finish()
  call begin('(A,5X,A)'); call is('ab'); call is('c'); write(u, '(A,5X,A)') 'ab', 'c'; call finish()
  call begin('(X,A)'); call is('ab'); write(u, '(X,A)') 'ab'; call finish()
  call begin('(A5,T2,A2)'); call is('abcde'); call is('XY'); write(u, '(A5,T2,A2)') 'abcde', 'XY'; call finish()
  call begin('(A5,TL3,A1)'); call is('abcde'); call is('Z'); write(u, '(A5,TL3,A1)') 'abcde', 'Z'; call finish()
  call begin('(T10,I3)'); call ii(5); write(u, '(T10,I3)') 5; call finish()
  call begin('(I3,TL5,I2)'); call ii(123); call ii(45); write(u, '(I3,TL5,I2)') 123, 45; call finish()
  call begin('(I5/I5)'); call ii(1); call ii(2); write(u, '(I5/I5)') 1, 2; call finish()
  call begin('(I5,/,I5)'); call ii(1); call ii(2); write(u, '(I5,/,I5)') 1, 2; call finish()
  call begin('(I5//I5)'); call ii(1); call ii(2); write(u, '(I5//I5)') 1, 2; call finish()
  call begin('(I5/)'); call ii(1); write(u, '(I5/)') 1; call finish()
  call begin('(/I5)'); call ii(1); write(u, '(/I5)') 1; call finish()
  call begin('(2(I3/))'); call ii(1); call ii(2); write(u, '(2(I3/))') 1, 2; call finish()
  call begin('(I2,3/I2)'); call ii(1); call ii(2); write(u, '(I2,3/I2)') 1, 2; call finish()
  call begin('(I3/''x'',I3)'); call ii(1); write(u, '(I3/''x'',I3)') 1; call finish()
  call begin('(''abc'')'); write(u, '(''abc'')'); call finish()
  call begin('(I5)'); write(u, '(I5)'); call finish()
  call begin('(''a'',I5,''b'')'); write(u, '(''a'',I5,''b'')'); call finish()
  call begin('(''it''''s'',I3)'); call ii(7); write(u, '(''it''''s'',I3)') 7; call finish()
  call begin('("say ""hi""",I2)'); call ii(7); write(u, '("say ""hi""",I2)') 7; call finish()
  call begin('(''x='',I3,'' y='',I3)'); call ii(5); write(u, '(''x='',I3,'' y='',I3)') 5; call finish()
  call begin('(I3,''end'')'); call ii(5); write(u, '(I3,''end'')') 5; call finish()
  call begin('(I3,''a'',I3,''b'')'); call ii(1); call ii(2); call ii(3)
  write(u, '(I3,''a'',I3,''b'')') 1, 2, 3; call finish()
  call begin('(i3, f6.2 , a4)'); call ii(1); call id(2.5_dp); call is('xy')
  write(u, '(i3, f6.2 , a4)') 1, 2.5_dp, 'xy'; call finish()

  ! ---- scale factor in effect for the rest of the format ----
  call begin('(1PE12.4,F8.3)'); call id(1.5_dp); call id(2.5_dp); call id(3.5_dp); call id(4.5_dp)
  write(u, '(1PE12.4,F8.3)') 1.5_dp, 2.5_dp, 3.5_dp, 4.5_dp; call finish()
  call begin('(1PE12.4,(F8.3))'); call id(1.5_dp); call id(2.5_dp); call id(3.5_dp)
  write(u, '(1PE12.4,(F8.3))') 1.5_dp, 2.5_dp, 3.5_dp; call finish()
  call begin('(F8.3,1P,E12.4,0P,F8.3,E12.4)')
  call id(2.5_dp); call id(2.5_dp); call id(2.5_dp); call id(2.5_dp)
  write(u, '(F8.3,1P,E12.4,0P,F8.3,E12.4)') 2.5_dp, 2.5_dp, 2.5_dp, 2.5_dp; call finish()
  call begin('(1P3E12.4)'); call id(1.0_dp); call id(-2.0_dp); call id(3.0e5_dp)
  write(u, '(1P3E12.4)') 1.0_dp, -2.0_dp, 3.0e5_dp; call finish()

  ! ---- repeats, groups and reversion ----
  do k = 1, 40
    xs(k) = (k - 20) * 1.37_dp + k * 1.0e-3_dp
  end do
  call begin('(2I3)'); do k = 1, 5; call ii(k); end do
  write(u, '(2I3)') 1, 2, 3, 4, 5; call finish()
  call begin('(I3,2(F6.2,I2))'); call ii(1); call id(xs(1)); call ii(2); call id(xs(2)); call ii(3)
  call id(xs(3)); call ii(4); call id(xs(4))
  write(u, '(I3,2(F6.2,I2))') 1, xs(1), 2, xs(2), 3, xs(3), 4, xs(4); call finish()
  call begin('(I2,(I3,I4))'); do k = 1, 6; call ii(k); end do
  write(u, '(I2,(I3,I4))') 1, 2, 3, 4, 5, 6; call finish()
  call begin('(1X,2(I2),3(I3))'); do k = 1, 12; call ii(k); end do
  write(u, '(1X,2(I2),3(I3))') (k, k = 1, 12); call finish()
  call begin('(I1,(I2,(I3)))'); do k = 1, 7; call ii(k); end do
  write(u, '(I1,(I2,(I3)))') (k, k = 1, 7); call finish()
  call begin('(I4,3(2I3))'); do k = 1, 15; call ii(k); end do
  write(u, '(I4,3(2I3))') (k, k = 1, 15); call finish()
  call begin('(6(E25.15,TR3),I15)'); do k = 1, 6; call id(xs(k)); end do; call ii(77)
  do k = 7, 12; call id(xs(k)); end do; call ii(-78); call id(xs(13))
  write(u, '(6(E25.15,TR3),I15)') xs(1:6), 77, xs(7:12), -78, xs(13); call finish()
  call begin('(6E25.15)'); do k = 1, 8; call id(xs(k)); end do
  write(u, '(6E25.15)') xs(1:8); call finish()
  call begin('(6I15)'); do k = 1, 8; call ii(k * 1000); end do
  write(u, '(6I15)') (k * 1000, k = 1, 8); call finish()
  call begin('(E25.15,I15)'); call id(xs(5)); call ii(3); call id(xs(6)); call ii(4)
  write(u, '(E25.15,I15)') xs(5), 3, xs(6), 4; call finish()
  call begin('(''#'',2(I2,''-''),''|'')'); do k = 1, 5; call ii(k); end do
  write(u, '(''#'',2(I2,''-''),''|'')') 1, 2, 3, 4, 5; call finish()

  ! ---- layouts of the system's files ----
  call begin('(I5,A9,4E15.5)'); call ii(12); call is(' x(cm)'); call id(xs(1)); call id(xs(2))
  call id(xs(3)); call id(xs(4))
  write(u, '(I5,A9,4E15.5)') 12, ' x(cm)', xs(1:4); call finish()
  call begin('(A17,A25)'); call is('abc'); call is('a text longer than twenty-five')
  write(u, '(A17,A25)') 'abc', 'a text longer than twenty-five'; call finish()
  call begin('(I7,I7,8(TR3,E15.5))'); call ii(1); call ii(2); call id(xs(1)); call id(xs(2))
  call id(xs(3)); call id(xs(4))
  write(u, '(I7,I7,8(TR3,E15.5))') 1, 2, xs(1:4); call finish()
  call begin('(I4,TR2,A5,2F6.1,2(3F12.3,3F12.7),3F12.3,3(3F12.7))'); call ii(17); call is('drift')
  do k = 1, 26; call id(xs(k)); end do
  write(u, '(I4,TR2,A5,2F6.1,2(3F12.3,3F12.7),3F12.3,3(3F12.7))') 17, 'drift', xs(1:26); call finish()
  call begin('(28X,A8,I5,A2)'); call is('* Seed#'); call ii(3); call is(' *')
  write(u, '(28X,A8,I5,A2)') '* Seed#', 3, ' *'; call finish()
  call begin('(A58,A5,A1,/,A58,F6.3,A4,F6.3,A9,/,A72)'); call is(' The field of "'); call is('quad ')
  call is('"'); call is('at'); call id(0.5_dp); call is(' to '); call id(12.25_dp); call is(' cm')
  call is('end')
  write(u, '(A58,A5,A1,/,A58,F6.3,A4,F6.3,A9,/,A72)') ' The field of "', 'quad ', '"', 'at', &
      0.5_dp, ' to ', 12.25_dp, ' cm', 'end'; call finish()
  call begin('(7X,A1,3X,7(7X,A2,5X))'); call is('n'); call is('x'); call is('xp'); call is('y')
  write(u, '(7X,A1,3X,7(7X,A2,5X))') 'n', 'x', 'xp', 'y'; call finish()
  call begin('(TR5,A32,I6,TR6,I6,TR4,''(Called internally)'')'); call is('DSPLIN'); call ii(3); call ii(1)
  write(u, '(TR5,A32,I6,TR6,I6,TR4,''(Called internally)'')') 'DSPLIN', 3, 1; call finish()
  call begin('(3I5,D17.7)'); call ii(1); call ii(2); call ii(3); call id(xs(7))
  write(u, '(3I5,D17.7)') 1, 2, 3, xs(7); call finish()
  call begin('(I3,5D14.6,3D15.2)'); call ii(4); do k = 1, 8; call id(xs(k + 10)); end do
  write(u, '(I3,5D14.6,3D15.2)') 4, xs(11:18); call finish()
  call begin('(A10,D15.6,A6)'); call is(' E0='); call id(1.5e6_dp); call is(' V/m')
  write(u, '(A10,D15.6,A6)') ' E0=', 1.5e6_dp, ' V/m'; call finish()
  call begin('(2F8.2,7E15.6,I3)'); call id(1.0_dp); call id(238.05_dp); do k = 1, 7; call id(xs(k + 20)); end do
  call ii(1)
  write(u, '(2F8.2,7E15.6,I3)') 1.0_dp, 238.05_dp, xs(21:27), 1; call finish()
  call begin('(A12,F8.2,2(A7,F10.2),A6)'); call is('  Charge '); call id(28.0_dp); call is(' A='); call id(238.0_dp)
  call is(' I='); call id(0.5_dp); call is(' mA')
  write(u, '(A12,F8.2,2(A7,F10.2),A6)') '  Charge ', 28.0_dp, ' A=', 238.0_dp, ' I=', 0.5_dp, ' mA'; call finish()
  call begin('(30X,4A13)'); call is('x'); call is('y'); call is('z'); call is('w')
  write(u, '(30X,4A13)') 'x', 'y', 'z', 'w'; call finish()
  call begin('(2X,A8,I3,13X,A30,I3)'); call is('seed'); call ii(5); call is('name'); call ii(-9)
  write(u, '(2X,A8,I3,13X,A30,I3)') 'seed', 5, 'name', -9; call finish()
  call begin('(A10,F15.6,A10)'); call is(' dEdx='); call id(-1234.5678_dp); call is(' V/cm**2')
  write(u, '(A10,F15.6,A10)') ' dEdx=', -1234.5678_dp, ' V/cm**2'; call finish()
  call begin('(TR41,1(TR4,F4.1),6(TR1,F12.5,TR2),1(TR3,F13.6,TR3),TR2,3(TR1,F12.5,TR2))')
  do k = 1, 11; call id(xs(k + 5)); end do
  write(u, '(TR41,1(TR4,F4.1),6(TR1,F12.5,TR2),1(TR3,F13.6,TR3),TR2,3(TR1,F12.5,TR2))') xs(6:16)
  call finish()
  call begin('(I4,3I22)'); call ii(1); call ii(2147483647); call ii(-5); call ii(0)
  write(u, '(I4,3I22)') 1, 2147483647, -5, 0; call finish()

  ! ---- list-directed ----
  call begin_list(); call is(' end of seed No.'); call ii(0)
  write(u, *) ' end of seed No.', 0; call finish()
  call begin_list(); call is(' correction is done for seed No.'); call ii(12)
  write(u, *) ' correction is done for seed No.', 12; call finish()
  call begin_list(); call is('abc'); call is('def'); call ii(1); call ii(2); call is('x')
  write(u, *) 'abc', 'def', 1, 2, 'x'; call finish()
  call begin_list(); call id(1.0_dp); call id(0.1_dp); call id(-2.5_dp)
  write(u, *) 1.0_dp, 0.1_dp, -2.5_dp; call finish()
  call begin_list(); call is('a'); call id(1.5_dp); call is('b')
  write(u, *) 'a', 1.5_dp, 'b'; call finish()
  call begin_list(); call ii(1); call is('a')
  write(u, *) 1, 'a'; call finish()
  call begin_list(); call if4(1.5_sp); call ii(2); call id(2.5_dp); call if4(-0.25_sp)
  write(u, *) 1.5_sp, 2, 2.5_dp, -0.25_sp; call finish()
  call begin_list(); call is('ntype'); call ii(5); call id(1.5_dp); call id(2.25_dp)
  write(u, *) 'ntype', 5, 1.5_dp, 2.25_dp; call finish()
  call begin_list(); call is('  Udesign.ne.0d0 .and. Win.ne.0d0 ')
  write(u, *) '  Udesign.ne.0d0 .and. Win.ne.0d0 '; call finish()
  call begin_list(); call is('')
  write(u, *) ''; call finish()
  call begin_list()
  write(u, *); call finish()
  call begin_list(); call is('stop'); call ii(-1)
  write(u, *) 'stop', -1; call finish()
  ivals(1:5) = [0, -1, 7, 2147483647, -2147483647 - 1]
  do k = 1, 5
    call list_i(ivals(k))
  end do
  dvals(1:24) = [0.0_dp, nzero, 1.0_dp, 0.1_dp, 0.09999999999999999_dp, 1.0e16_dp, 1.0e17_dp, &
      9.999999999999999e16_dp, 1.0e15_dp, 123456789.0_dp, 1.0e-300_dp, 1.0e300_dp, -1.0e-100_dp, &
      0.5_dp, 2.0_dp * third, 3.141592653589793_dp, 1.0e-5_dp, inf, -inf, nan, transfer(1_8, 1.0_dp), &
      huge(1.0_dp), 0.999999999999999999_dp, 99.99999999999999_dp]
  do k = 1, 24
    call list_d(dvals(k))
  end do
  fvals(1:14) = [1.0_sp, 0.1_sp, 1.0e10_sp, 1.0e-3_sp, 0.0_sp, -3.5_sp, 1.0e9_sp, 99999999.0_sp, &
      123456.789_sp, 1.0e-40_sp, huge(1.0_sp), finf, fnan, 1.0e8_sp]
  do k = 1, 14
    call list_f(fvals(k))
  end do

contains
  subroutine add(x)
    real(dp), intent(in) :: x
    nd = nd + 1
    dvals(nd) = x
  end subroutine
end program make_format_golden
